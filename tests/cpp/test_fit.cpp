#include <doctest/doctest.h>

#include <cmath>
#include <random>
#include <vector>

#include "circuit/evaluate.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "fit/driver.hpp"
#include "fit/levenberg_marquardt.hpp"

using namespace zetrion;

namespace {

SeriesList tree_of(std::string_view text) { return std::get<SeriesList>(parse(text)); }

std::vector<double> log_freqs(std::size_t n, double lo, double hi) {
    std::vector<double> f(n);
    for (std::size_t i = 0; i < n; ++i) f[i] = lo * std::pow(hi / lo, double(i) / double(n - 1));
    return f;
}

std::vector<Cx> spectrum_of(const SeriesList& t, const std::vector<double>& f) {
    std::vector<Cx> z(f.size());
    sweep(t, f, z.data());
    return z;
}

FitOutcome outcome(const FitResult& r) {
    if (const auto* e = std::get_if<FitError>(&r)) FAIL(e->message());
    return std::get<FitOutcome>(r);
}

std::string error_of(const FitResult& r) {
    const auto* e = std::get_if<FitError>(&r);
    return e ? e->message() : "ok";
}

}  // namespace

TEST_CASE("solver space round trip") {
    const std::vector<Bounds> b{{1e-12, INFINITY}, {0.0, 1.0}, {0.0, NAN}};
    const std::vector<double> v{250.0, 0.7, 3.0};
    const auto x = to_solver_space(v, b);
    CHECK(x[0] == doctest::Approx(std::log10(250.0 - 1e-12)));
    CHECK(x[1] == 0.7);
    CHECK(x[2] == doctest::Approx(std::log10(3.0)));
    const auto back = physical(x, b);
    CHECK(back[0] == doctest::Approx(250.0).epsilon(1e-14));
    CHECK(back[1] == 0.7);
    CHECK(to_solver_space(std::vector<double>{-5.0}, b)[0] == -300.0);
    CHECK_FALSE(is_closed({0.0, NAN}));
}

TEST_CASE("total order of costs") {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    CHECK(total_less(-nan, -INFINITY));
    CHECK(total_less(INFINITY, nan));
    CHECK(total_less(-0.0, 0.0));
    CHECK_FALSE(total_less(0.0, -0.0));
    CHECK(total_less(1.0, 2.0));
}

TEST_CASE("candidates are sorted by cost, stably") {
    const SeriesList t = rebuild(tree_of("R0-(R1,CPE1)"), std::vector<double>{10, 100, 1e-5, 0.7});
    const auto f = log_freqs(30, 0.01, 1e5);
    const auto z = spectrum_of(rebuild(t, std::vector<double>{12, 150, 2e-5, 0.85}), f);
    const FitData d(t, f, z, Weighting::Modulus);
    EvalCounter counter{0};
    const auto c = candidate_starting_points(d, d.start, counter);
    REQUIRE(c.size() == 9);
    CHECK(counter == 9);
    for (std::size_t i = 1; i < c.size(); ++i) CHECK_FALSE(total_less(c[i].cost, c[i - 1].cost));

    // The table: open parameters scaled by 1, 3, 1/3, 8, 1/8; closed ones at
    // 20 %, 40 %, 60 %, 80 % of their range.
    std::vector<std::vector<double>> expect;
    for (double k : {1.0, 3.0, 0.3333333333333333, 8.0, 0.125}) expect.push_back({10 * k, 100 * k, 1e-5 * k, 0.7});
    for (double q : {0.2, 0.4, 0.6, 0.8}) expect.push_back({10, 100, 1e-5, q});
    for (const auto& e : expect) {
        std::size_t found = 0;
        for (const auto& cand : c) found += cand.params == e;
        CHECK(found == 1);
    }
    // Equal costs keep the order of the table.
    const SeriesList shorted = rebuild(tree_of("(R0,R1)"), std::vector<double>{0.0, 1.0});
    const FitData ds(shorted, f, z, Weighting::Modulus);
    const auto cs = candidate_starting_points(ds, ds.start, counter);
    CHECK(std::isnan(cs[0].cost));
    CHECK(cs[0].params == std::vector<double>{0.0, 1.0});
    CHECK(cs[1].params == std::vector<double>{0.0, 3.0});
}

TEST_CASE("fit errors") {
    const SeriesList t = tree_of("R0-(R1,C1)");
    const std::vector<double> f{1.0, 2.0};
    const std::vector<Cx> z{{1, 0}, {2, 0}};
    FitRequest req;
    req.circuit = &t;
    req.frequencies = f;
    req.impedances = z;
    CHECK(!parse_fit_method("Levenberg_Marquardt"));
    CHECK(!parse_fit_method("nelder"));
    CHECK(parse_fit_method("basin_hopping") == FitMethod::BasinHopping);
    CHECK(FitError{FitError::Kind::UnknownMethod, "Levenberg_Marquardt"}.message() ==
          "unknown fit method \"Levenberg_Marquardt\", expected one of \"levenberg_marquardt\", "
          "\"particle_swarm\", \"nelder_mead\", \"differential_evolution\", \"simulated_annealing\", "
          "\"basin_hopping\"");
    CHECK(FitError{FitError::Kind::UnknownMethod, "x\"\n"}.message().rfind("unknown fit method \"x\\\"\\n\", expected", 0) ==
          0);
    req.impedances = std::span<const Cx>(z.data(), 1);
    CHECK(error_of(run_fit(req)) == "frequencies and impedances must have the same length");
    req.frequencies = {};
    req.impedances = {};
    CHECK(error_of(run_fit(req)) == "frequencies and impedances must not be empty");
    req.frequencies = f;
    req.impedances = z;
    const SeriesList empty;
    req.circuit = &empty;
    CHECK(error_of(run_fit(req)) == "circuit topology has no parameters to fit");
    req.circuit = &t;
    req.ftol = -1.0;
    CHECK(error_of(run_fit(req)) == "solver error: ftol must be >= 0");
    req.ftol = 1e-8;
    req.xtol = -0.0;
    CHECK(error_of(run_fit(req)) == "solver error: xtol must be >= 0");
    req.xtol = 1e-8;
    req.method = FitMethod::SimulatedAnnealing;
    req.sa_initial_temperature = 0.0;
    CHECK(error_of(run_fit(req)) ==
          "solver error: Invalid parameter: `SimulatedAnnealing`: Initial temperature must be > 0.");
    req.sa_initial_temperature = NAN;
    CHECK(error_of(run_fit(req)).rfind("solver error: Invalid parameter", 0) == 0);
    req.sa_initial_temperature = INFINITY;
    CHECK(error_of(run_fit(req)).rfind("solver error: ", 0) == 0);
    req.method = FitMethod::BasinHopping;
    for (double step : {-1.0, std::nan(""), 1e308}) {
        req.basin_hopping_step_size = step;
        CHECK(error_of(run_fit(req)) == "solver error: basin hopping step size must be finite and >= 0");
    }
    req.method = FitMethod::ParticleSwarm;
    req.num_particles = std::uint64_t(1) << 63;
    CHECK(error_of(run_fit(req)) == "solver error: num_particles is too large for this circuit");
}

TEST_CASE("a noise-free fit reaches the truth and reports consistent statistics") {
    const SeriesList t = tree_of("R0-(R1-W1,CPE1)");
    const std::vector<double> truth{15.0, 120.0, 40.0, 3e-5, 0.82};
    const auto f = log_freqs(60, 0.01, 1e5);
    const auto z = spectrum_of(rebuild(t, truth), f);
    const SeriesList start = rebuild(t, std::vector<double>{30.0, 60.0, 80.0, 1e-5, 0.9});
    const FitResult r = levenberg_marquardt_fit(start, f, z, Weighting::Modulus, LmSettings{});
    const FitOutcome o = outcome(r);
    CHECK(o.success);
    for (std::size_t i = 0; i < truth.size(); ++i) CHECK(o.params[i] == doctest::Approx(truth[i]).epsilon(1e-7));
    CHECK(o.chi_square == o.cost + o.cost);
    CHECK(o.cost < 1e-20);
    CHECK(o.param_names == param_names(t));
    CHECK(param_values(o.circuit) == o.params);
    REQUIRE(o.stderr_.has_value());
    CHECK(o.stderr_->size() == 5);
    CHECK(o.impedance_evals > o.iterations);
}

TEST_CASE("too few points for the parameters: no standard errors") {
    const SeriesList t = tree_of("R0-(R1,C1)");
    const std::vector<double> f{10.0};
    const std::vector<Cx> z{{3.0, -1.0}};
    const FitOutcome o = outcome(levenberg_marquardt_fit(t, f, z, Weighting::Modulus, LmSettings{}));
    CHECK_FALSE(o.stderr_.has_value());
}

TEST_CASE("a closed parameter beyond its bound is frozen at the bound") {
    // Data from a constant-phase element with alpha 1.05: the unbounded solver
    // goes past alpha = 1, the second pass pins it there.
    const SeriesList t = tree_of("R0-(R1,CPE1)");
    const auto f = log_freqs(40, 0.1, 1e5);
    const auto z = spectrum_of(rebuild(t, std::vector<double>{5.0, 200.0, 2e-6, 1.05}), f);
    const SeriesList start = rebuild(t, std::vector<double>{5.0, 200.0, 2e-6, 0.95});
    const FitOutcome o = outcome(levenberg_marquardt_fit(start, f, z, Weighting::Modulus, LmSettings{}));
    CHECK(o.params[3] == 1.0);
    for (double p : o.params) CHECK(p >= 1e-12);
    // The others are re-solved with alpha pinned: far better than merely
    // clamping the unbounded optimum.
    const FitData d(start, f, z, Weighting::Modulus);
    EvalCounter c{0};
    auto free_run = std::get<SingleStart>(levenberg_marquardt_single_start(
        d, to_solver_space(d.start, d.bounds), std::vector<bool>(4, false), LmSettings{}, c));
    REQUIRE(free_run.params[3] > 1.0);
    std::vector<double> clamped = free_run.params;
    clamped[3] = 1.0;
    CHECK(o.cost < 0.5 * cost_at(d, clamped, c));
    CHECK(o.success);
}

TEST_CASE("the first plausible start ends the search") {
    const SeriesList t = tree_of("R0-(R1,C1)");
    const auto f = log_freqs(30, 0.1, 1e5);
    const std::vector<double> truth{10.0, 100.0, 1e-5};
    const auto z = spectrum_of(rebuild(t, truth), f);
    const SeriesList start = rebuild(t, std::vector<double>{12.0, 80.0, 2e-5});
    const FitData d(start, f, z, Weighting::Modulus);
    EvalCounter c{0};
    const auto cands = candidate_starting_points(d, d.start, c);
    const auto first = std::get<SingleStart>(levenberg_marquardt_single_start(
        d, to_solver_space(cands[0].params, d.bounds), std::vector<bool>(3, false), LmSettings{}, c));
    REQUIRE(first.success);
    const FitOutcome o = outcome(levenberg_marquardt_fit(start, f, z, Weighting::Modulus, LmSettings{}));
    CHECK(o.iterations == first.evaluations);
}

TEST_CASE("the evaluation budget bounds the work") {
    const SeriesList t = tree_of("R0-(R1,CPE1)-(R2,CPE2)");
    const auto f = log_freqs(50, 0.01, 1e5);
    const auto z = spectrum_of(rebuild(t, std::vector<double>{5, 50, 1e-4, 0.8, 500, 1e-2, 0.7}), f);
    LmSettings s;
    s.patience = 0;  // behaves as 1: at most n + 1 solver evaluations per start
    const FitOutcome o = outcome(levenberg_marquardt_fit(t, f, z, Weighting::Modulus, s));
    CHECK(o.iterations <= 10 * 8);

    // NaN measurements: IEEE values in the outcome, no hang.
    std::vector<Cx> bad = z;
    bad[3] = {NAN, NAN};
    const FitOutcome nan_fit = outcome(levenberg_marquardt_fit(t, f, bad, Weighting::Modulus, LmSettings{}));
    CHECK_FALSE(nan_fit.success);
    CHECK(std::isnan(nan_fit.cost));
}

TEST_CASE("matrix inverse") {
    const auto inv = invert({4, 7, 2, 6}, 2);
    REQUIRE(inv.has_value());
    CHECK((*inv)[0] == doctest::Approx(0.6));
    CHECK((*inv)[1] == doctest::Approx(-0.7));
    CHECK((*inv)[3] == doctest::Approx(0.4));
    CHECK_FALSE(invert({1, 2, 2, 4}, 2).has_value());
    CHECK_FALSE(invert({0, 0, 0, 0}, 2).has_value());
    const auto p = invert({0, 1, 0, 1, 0, 0, 0, 0, 2}, 3);  // needs pivoting
    REQUIRE(p.has_value());
    CHECK((*p)[1] == 1.0);
    CHECK((*p)[8] == 0.5);
}

TEST_CASE("fits from the element defaults: the rate of reaching the truth") {
    // Baseline for learned starting values: noise-free spectra from random
    // parameters, fitted from the defaults of the notation.
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    auto logu = [&](double lo, double hi) { return lo * std::pow(hi / lo, u(rng)); };
    const auto f = log_freqs(50, 0.01, 1e5);
    struct Case {
        const char* notation;
        int hits = 0;
    } cases[] = {{"R0-(R1,C1)"}, {"R0-(R1,CPE1)"}, {"R0-(R1-W1,CPE1)"}};
    const int trials = 60;
    for (Case& c : cases) {
        const SeriesList t = tree_of(c.notation);
        for (int k = 0; k < trials; ++k) {
            std::vector<double> truth;
            for (const auto& name : param_names(t)) {
                if (name.ends_with(".alpha")) truth.push_back(0.6 + 0.4 * u(rng));
                else if (name.ends_with(".c") || name.ends_with(".q")) truth.push_back(logu(1e-7, 1e-3));
                else truth.push_back(logu(1.0, 1e3));
            }
            const auto z = spectrum_of(rebuild(t, truth), f);
            const FitResult r = levenberg_marquardt_fit(t, f, z, Weighting::Modulus, LmSettings{});
            const FitOutcome o = outcome(r);
            bool hit = true;
            for (std::size_t i = 0; i < truth.size(); ++i)
                hit = hit && std::fabs(o.params[i] - truth[i]) <= 1e-6 * std::fabs(truth[i]);
            c.hits += hit;
        }
        MESSAGE(std::string(c.notation) << ": " << c.hits << "/" << trials << " fits from defaults reach the truth");
        CHECK(c.hits >= trials / 2);
    }
}

TEST_CASE("standard errors match the textbook formula on the same Jacobian") {
    const SeriesList t = tree_of("R0-(R1,C1)");
    const auto f = log_freqs(25, 0.1, 1e5);
    auto z = spectrum_of(rebuild(t, std::vector<double>{10.0, 100.0, 1e-5}), f);
    for (std::size_t i = 0; i < z.size(); ++i) z[i].re *= 1.0 + 0.01 * std::sin(3.0 * double(i));
    const FitData d(t, f, z, Weighting::Modulus);
    const std::vector<double> p{10.5, 98.0, 1.1e-5};
    EvalCounter counter{0};
    const FitOutcome o = build_outcome(d, p, true, 7, counter);
    CHECK(counter == 1 + 6);
    CHECK(o.impedance_evals == 7);
    CHECK(o.iterations == 7);

    // J^T J by hand and its inverse by cofactors.
    const std::size_t m = 2 * f.size();
    std::vector<double> jac(3 * m);
    EvalCounter c2{0};
    jacobian_columns(t, p, d.spectrum(), c2, jac.data());
    double a[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            a[i][j] = 0.0;
            for (std::size_t r = 0; r < m; ++r) a[i][j] += jac[i * m + r] * jac[j * m + r];
        }
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    const double diag[3] = {(a[1][1] * a[2][2] - a[1][2] * a[2][1]) / det,
                            (a[0][0] * a[2][2] - a[0][2] * a[2][0]) / det,
                            (a[0][0] * a[1][1] - a[0][1] * a[1][0]) / det};
    const double s2 = o.chi_square / double(m - 3);
    REQUIRE(o.stderr_.has_value());
    for (int i = 0; i < 3; ++i) CHECK((*o.stderr_)[i] == doctest::Approx(std::sqrt(s2 * diag[i])).epsilon(1e-6));
}

TEST_CASE("odd spectra give IEEE values, not failures") {
    const SeriesList t = tree_of("R0-(R1,C1)");
    const std::vector<double> f{0.0, 1.0, 10.0, 100.0};
    const std::vector<Cx> z{{5, -1}, {4, -1}, {3, -0.5}, {INFINITY, 0}};
    const FitOutcome zero = outcome(levenberg_marquardt_fit(t, f, z, Weighting::Modulus, LmSettings{}));
    CHECK_FALSE(std::isfinite(zero.cost));
    for (std::size_t i = 0; i < zero.params.size(); ++i) CHECK(zero.params[i] >= 1e-12);
    const std::vector<double> one{10.0};
    const std::vector<Cx> z1{{3, -1}};
    const FitOutcome single = outcome(levenberg_marquardt_fit(t, one, z1, Weighting::Unit, LmSettings{}));
    CHECK(single.cost < 1e-12);
    CHECK_FALSE(single.stderr_.has_value());
}
