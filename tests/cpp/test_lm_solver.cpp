// The solver against MINPACK's lmder itself: reference runs recorded from
// scipy.optimize.leastsq (data/make_lmder_reference.py) with the same
// tolerances, step bound factor, column scaling and evaluation budget.
#include <doctest/doctest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "fit/test_hooks.hpp"
#include "circuit/parser.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/lm_solver.hpp"

using namespace zetrion;

namespace {

struct LmderReference {
    const char* name;
    std::vector<double> x0;
    std::vector<double> x;
    int info;
    int nfev;
};

#include "data/lmder_reference.inc"

LmStop stop_of_info(int info) {
    switch (info) {
        case 1: return LmStop::Ftol;
        case 2: return LmStop::Xtol;
        case 3: return LmStop::FtolAndXtol;
        case 4: return LmStop::Orthogonal;
        case 5: return LmStop::LostPatience;
        case 6: return LmStop::NoImprovementFtol;
        case 7: return LmStop::NoImprovementXtol;
        default: return LmStop::NoImprovementGtol;
    }
}

using Vec = std::vector<double>;

struct Analytic final : LmFunction {
    std::size_t m;
    std::function<Vec(const Vec&)> r;
    std::function<std::vector<Vec>(const Vec&)> jac_rows;
    Analytic(std::size_t m, std::function<Vec(const Vec&)> r, std::function<std::vector<Vec>(const Vec&)> j)
        : m(m), r(std::move(r)), jac_rows(std::move(j)) {}
    std::size_t residual_count() const override { return m; }
    void residuals(std::span<const double> x, double* out) override {
        const Vec v = r(Vec(x.begin(), x.end()));
        std::copy(v.begin(), v.end(), out);
    }
    void jacobian(std::span<const double> x, double* out) override {
        const auto rows = jac_rows(Vec(x.begin(), x.end()));
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t j = 0; j < x.size(); ++j) out[i + j * m] = rows[i][j];
    }
};

const double kBardY[15] = {0.14, 0.18, 0.22, 0.25, 0.29, 0.32, 0.35, 0.39, 0.37, 0.58, 0.73, 0.96, 1.34, 2.10, 4.39};

Analytic problem(const std::string& name) {
    if (name == "rosenbrock")
        return Analytic(
            2, [](const Vec& x) { return Vec{10.0 * (x[1] - x[0] * x[0]), 1.0 - x[0]}; },
            [](const Vec& x) { return std::vector<Vec>{{-20.0 * x[0], 10.0}, {-1.0, 0.0}}; });
    if (name == "freudenstein_roth")
        return Analytic(
            2,
            [](const Vec& x) {
                return Vec{-13.0 + x[0] + ((5.0 - x[1]) * x[1] - 2.0) * x[1],
                           -29.0 + x[0] + ((x[1] + 1.0) * x[1] - 14.0) * x[1]};
            },
            [](const Vec& x) {
                return std::vector<Vec>{{1.0, x[1] * (10.0 - 3.0 * x[1]) - 2.0},
                                        {1.0, x[1] * (2.0 + 3.0 * x[1]) - 14.0}};
            });
    if (name == "box3d")
        return Analytic(
            10,
            [](const Vec& x) {
                Vec r(10);
                for (int i = 0; i < 10; ++i) {
                    const double t = 0.1 * (i + 1);
                    r[i] = std::exp(-t * x[0]) - std::exp(-t * x[1]) - x[2] * (std::exp(-t) - std::exp(-10.0 * t));
                }
                return r;
            },
            [](const Vec& x) {
                std::vector<Vec> j(10);
                for (int i = 0; i < 10; ++i) {
                    const double t = 0.1 * (i + 1);
                    j[i] = {-t * std::exp(-t * x[0]), t * std::exp(-t * x[1]), -(std::exp(-t) - std::exp(-10.0 * t))};
                }
                return j;
            });
    return Analytic(
        15,
        [](const Vec& x) {
            Vec r(15);
            for (int i = 0; i < 15; ++i) {
                const double u = i + 1.0, v = 15.0 - i, w = std::min(u, v);
                r[i] = kBardY[i] - (x[0] + u / (v * x[1] + w * x[2]));
            }
            return r;
        },
        [](const Vec& x) {
            std::vector<Vec> j(15);
            for (int i = 0; i < 15; ++i) {
                const double u = i + 1.0, v = 15.0 - i, w = std::min(u, v);
                const double d = v * x[1] + w * x[2];
                j[i] = {-1.0, u * v / (d * d), u * w / (d * d)};
            }
            return j;
        });
}

void check_close(const Vec& got, const Vec& want) {
    REQUIRE(got.size() == want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        CAPTURE(i);
        CHECK(std::fabs(got[i] - want[i]) <= 1e-10 * std::max(1.0, std::fabs(want[i])));
    }
}

}  // namespace

TEST_CASE("single starts agree with MINPACK lmder") {
    for (const LmderReference& ref : kLmderReference) {
        CAPTURE(std::string(ref.name));
        if (std::string(ref.name) == "circuit") {
            const SeriesList t = std::get<SeriesList>(parse(std::string_view("R0-(R1,CPE1)")));
            std::vector<Cx> z(kCircuitRe.size());
            for (std::size_t i = 0; i < z.size(); ++i) z[i] = {kCircuitRe[i], kCircuitIm[i]};
            const FitData d(t, kCircuitFrequencies, z, Weighting::Modulus);
            EvalCounter counter{0};
            const auto run = std::get<SingleStart>(
                levenberg_marquardt_single_start(d, ref.x0, std::vector<bool>(4, false), LmSettings{}, counter));
            check_close(run.params, ref.x);
            CHECK(run.stop == stop_of_info(ref.info));
            CHECK(run.evaluations == static_cast<std::size_t>(ref.nfev));
            continue;
        }
        Analytic f = problem(ref.name);
        Vec x = ref.x0;
        const LmReport rep = lm_minimize(f, x, LmSettings{});
        check_close(x, ref.x);
        CHECK(rep.stop == stop_of_info(ref.info));
        CHECK(rep.evaluations == static_cast<std::size_t>(ref.nfev));
    }
}

TEST_CASE("stops: zero residuals, budget, non-finite values") {
    Analytic zero(2, [](const Vec& x) { return Vec{x[0] - 1.0, x[1] - 2.0}; },
                  [](const Vec&) { return std::vector<Vec>{{1.0, 0.0}, {0.0, 1.0}}; });
    Vec at{1.0, 2.0};
    const LmReport z = lm_minimize(zero, at, LmSettings{});
    CHECK(z.stop == LmStop::ResidualsZero);
    CHECK(z.success());
    CHECK(z.evaluations == 1);
    CHECK(z.jacobians == 0);

    Analytic rosen = problem("rosenbrock");
    Vec x{-1.2, 1.0};
    LmSettings tight;
    tight.patience = 2;
    const LmReport b = lm_minimize(rosen, x, tight);
    CHECK(b.stop == LmStop::LostPatience);
    CHECK_FALSE(b.success());
    CHECK(b.evaluations == 6);

    Analytic nan_start(1, [](const Vec&) { return Vec{NAN}; }, [](const Vec&) { return std::vector<Vec>{{1.0}}; });
    Vec y{1.0};
    CHECK(lm_minimize(nan_start, y, LmSettings{}).stop == LmStop::NonFinite);
    Analytic nan_jac(1, [](const Vec& x) { return Vec{x[0]}; }, [](const Vec&) { return std::vector<Vec>{{INFINITY}}; });
    CHECK(lm_minimize(nan_jac, y, LmSettings{}).stop == LmStop::NonFinite);

    // Fewer residuals than unknowns is allowed.
    Analytic under(1, [](const Vec& x) { return Vec{x[0] + x[1] - 3.0}; },
                   [](const Vec&) { return std::vector<Vec>{{1.0, 1.0}}; });
    Vec u{0.0, 0.0};
    const LmReport ur = lm_minimize(under, u, LmSettings{});
    CHECK(ur.success());
    CHECK(u[0] + u[1] == doctest::Approx(3.0));
}

TEST_CASE("overflow-safe norm") {
    CHECK(enorm(Vec{3.0, 4.0}) == 5.0);
    CHECK(enorm(Vec{3e200, 4e200}) == doctest::Approx(5e200));
    CHECK(enorm(Vec{3e-200, 4e-200}) == doctest::Approx(5e-200));
    CHECK(enorm(Vec{1e-170, 1.0}) == 1.0);
    CHECK(enorm(Vec{}) == 0.0);
    CHECK(std::isnan(enorm(Vec{1.0, NAN})));
}
