#include <doctest/doctest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "circuit/evaluate.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "circuit/tree.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/shared_fit.hpp"

using namespace zetrion;

namespace {

SeriesList tree_of(std::string_view text) { return std::get<SeriesList>(parse(text)); }

std::vector<double> log_freqs(std::size_t n, double lo, double hi) {
    std::vector<double> f(n);
    for (std::size_t i = 0; i < n; ++i) f[i] = lo * std::pow(hi / lo, double(i) / double(n - 1));
    return f;
}

std::size_t index_of(const SeriesList& t, const std::string& name) {
    const auto names = param_names(t);
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return i;
    FAIL("no parameter " << name);
    return 0;
}

// A series of spectra of one circuit: every spectrum's values, its data
// (with relative noise when noise > 0) and a start off the truth by a
// factor per parameter.
struct Series {
    SeriesList tree;
    std::vector<double> f;
    std::vector<std::vector<double>> truth, starts;
    std::vector<std::vector<Cx>> z;

    SharedFitRequest request() const {
        SharedFitRequest req;
        req.circuit = &tree;
        for (const auto& zi : z) req.spectra.push_back({f, zi, {}});
        req.starts = starts;
        return req;
    }
};

// R0-(R1,CPE1) with R0 and R1 drifting along the series and the CPE's
// exponent the same in every spectrum.
Series drifting_series(std::size_t count, double noise, std::uint32_t seed = 7) {
    Series s{tree_of("R0-(R1,CPE1)"), log_freqs(40, 1e-2, 1e5), {}, {}, {}};
    std::mt19937 rng(seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    for (std::size_t i = 0; i < count; ++i) {
        const double t = double(i);
        std::vector<double> p{10.0 + 0.5 * t, 100.0 * (1.0 + 0.1 * t), 2e-5 * (1.0 + 0.02 * t), 0.82};
        const SeriesList fitted = rebuild(s.tree, p);
        std::vector<Cx> z(s.f.size());
        sweep(fitted, s.f, z.data());
        for (Cx& v : z) {
            const double mod = std::hypot(v.re, v.im);
            v.re += noise * mod * gauss(rng);
            v.im += noise * mod * gauss(rng);
        }
        s.truth.push_back(p);
        s.starts.push_back({p[0] * 1.3, p[1] * 0.7, p[2] * 1.5, 0.75 + 0.01 * double(i % 3)});
        s.z.push_back(std::move(z));
    }
    return s;
}

SharedFitOutcome solved(const SharedFitResult& r) {
    if (const auto* e = std::get_if<FitError>(&r)) FAIL(e->message());
    return std::get<SharedFitOutcome>(r);
}

}  // namespace

TEST_CASE("shared fit recovers a shared exponent and the drifting values") {
    const Series s = drifting_series(12, 0.0);
    SharedFitRequest req = s.request();
    const std::size_t alpha = index_of(s.tree, "CPE1.alpha");
    req.shared.assign(4, false);
    req.shared[alpha] = true;
    const SharedFitOutcome out = solved(run_shared_fit(req));
    CHECK(out.success);
    CHECK(out.unknowns == 1 + 12 * 3);
    CHECK(out.residuals == 12 * 80);
    for (std::size_t i = 0; i < 12; ++i) {
        for (std::size_t j = 0; j < 4; ++j) CHECK(out.params[i][j] == doctest::Approx(s.truth[i][j]).epsilon(1e-6));
        CHECK(out.params[i][alpha] == out.params[0][alpha]);
        CHECK(out.chi_square[i] < 1e-16);
    }
}

TEST_CASE("shared fit with nothing shared matches the independent fits") {
    const Series s = drifting_series(5, 0.01);
    const SharedFitOutcome out = solved(run_shared_fit(s.request()));
    CHECK(out.success);
    double total = 0.0;
    for (std::size_t i = 0; i < 5; ++i) {
        const FitData d(s.tree, s.f, s.z[i], Weighting::Modulus);
        const auto r = levenberg_marquardt_fit(d, s.starts[i], LmSettings{});
        REQUIRE(std::holds_alternative<FitOutcome>(r));
        const FitOutcome& single = std::get<FitOutcome>(r);
        for (std::size_t j = 0; j < 4; ++j) CHECK(out.params[i][j] == doctest::Approx(single.params[j]).epsilon(1e-5));
        CHECK(out.chi_square[i] == doctest::Approx(single.chi_square).epsilon(1e-8));
        total += single.chi_square;
    }
    CHECK(out.total_chi_square == doctest::Approx(total).epsilon(1e-8));
}

TEST_CASE("shared fit standard errors equal those of the dense stacked problem") {
    const Series s = drifting_series(4, 0.01, 11);
    SharedFitRequest req = s.request();
    req.shared = {true, false, false, true};  // R0 and the exponent
    const SharedFitOutcome out = solved(run_shared_fit(req));
    REQUIRE(out.success);
    // Dense J of the stacked residuals in the order [R0, alpha, (R1, Q) per spectrum].
    const std::size_t S = 4, m = 2 * s.f.size(), k = 2 + 2 * S;
    std::vector<double> jac(S * m * k, 0.0);  // row-major rows x k
    double chi = 0.0;
    for (std::size_t i = 0; i < S; ++i) {
        FitData d(s.tree, s.f, s.z[i], Weighting::Modulus);
        std::vector<double> cols(4 * m), r(m);
        EvalCounter counter{0};
        jacobian_columns(s.tree, out.params[i], d.spectrum(), counter, cols.data());
        residuals(s.tree, out.params[i], d.spectrum(), counter, r.data());
        for (double v : r) chi += v * v;
        const std::size_t where[4] = {0, 2 + 2 * i, 3 + 2 * i, 1};
        for (std::size_t row = 0; row < m; ++row)
            for (std::size_t j = 0; j < 4; ++j) jac[(i * m + row) * k + where[j]] = cols[j * m + row];
    }
    std::vector<double> jtj(k * k, 0.0);
    for (std::size_t row = 0; row < S * m; ++row)
        for (std::size_t a = 0; a < k; ++a)
            for (std::size_t b = 0; b < k; ++b) jtj[a * k + b] += jac[row * k + a] * jac[row * k + b];
    const auto inv = invert(jtj, k);
    REQUIRE(inv.has_value());
    const double s2 = chi / double(S * m - k);
    CHECK(out.total_chi_square == doctest::Approx(chi).epsilon(1e-12));
    CHECK(out.stderr_[0][0] == doctest::Approx(std::sqrt(s2 * (*inv)[0])).epsilon(1e-6));
    CHECK(out.stderr_[2][3] == doctest::Approx(std::sqrt(s2 * (*inv)[k + 1])).epsilon(1e-6));
    for (std::size_t i = 0; i < S; ++i) {
        const std::size_t r1 = 2 + 2 * i, q = 3 + 2 * i;
        CHECK(out.stderr_[i][1] == doctest::Approx(std::sqrt(s2 * (*inv)[r1 * k + r1])).epsilon(1e-6));
        CHECK(out.stderr_[i][2] == doctest::Approx(std::sqrt(s2 * (*inv)[q * k + q])).epsilon(1e-6));
        CHECK(out.stderr_[i][0] == out.stderr_[0][0]);
    }
}

TEST_CASE("shared fit keeps held values and limits") {
    const Series s = drifting_series(3, 0.0);
    SharedFitRequest req = s.request();
    req.held = {true, false, false, false};
    for (std::size_t i = 0; i < 3; ++i) req.starts[i][0] = s.truth[i][0];
    req.limits = {{0.0, INFINITY}, {0.0, INFINITY}, {0.0, INFINITY}, {0.5, 0.8}};
    const SharedFitOutcome out = solved(run_shared_fit(req));
    for (std::size_t i = 0; i < 3; ++i) {
        CHECK(out.params[i][0] == s.truth[i][0]);
        CHECK(out.stderr_[i][0] == 0.0);
        CHECK(out.params[i][3] == 0.8);  // the truth (0.82) lies beyond the range
    }
    CHECK(out.success);
    CHECK(out.iterations < 50);
    CHECK(out.unknowns == 3 * 3);
}

TEST_CASE("shared fit settles a series with a direction the data hardly see") {
    // The second arc's capacitance is so large that the arc is a plain
    // resistance in the band: its CPE coefficient barely moves the residuals,
    // and an unguarded Gauss-Newton step along it overflows.
    const SeriesList tree = tree_of("R0-(R1,CPE1)-(R2,CPE2)");
    const std::vector<double> f = log_freqs(57, 2e-2, 1e4);
    std::mt19937 rng(3);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::vector<std::vector<Cx>> z;
    SharedFitRequest req;
    req.circuit = &tree;
    for (std::size_t i = 0; i < 6; ++i) {
        const std::vector<double> p{0.1, 1.5 + 0.1 * double(i), 0.08, 0.6, 4.0, 26.0, 1.0};
        std::vector<Cx> zi(f.size());
        sweep(rebuild(tree, p), f, zi.data());
        for (Cx& v : zi) {
            const double mod = std::hypot(v.re, v.im);
            v.re += 0.01 * mod * gauss(rng);
            v.im += 0.01 * mod * gauss(rng);
        }
        z.push_back(std::move(zi));
        // each spectrum's own exponents scattered about the truth, as independent fits leave them
        req.starts.push_back({0.1, 1.5, 0.08, 0.45 + 0.05 * double(i), 4.0, 26.0 * (i % 2 ? 1e3 : 1.0), 0.8 + 0.04 * double(i)});
    }
    for (const auto& zi : z) req.spectra.push_back({f, zi, {}});
    req.shared = {false, false, false, true, false, false, true};
    const SharedFitOutcome out = solved(run_shared_fit(req));
    CHECK(out.success);
    CHECK(out.iterations > 1);
    const double reduced = out.total_chi_square / double(out.residuals - out.unknowns);
    CHECK(reduced < 1.5 * 2e-4);  // the noise: 1 % of |Z| on each part
    CHECK(out.params[0][3] == doctest::Approx(0.6).epsilon(0.03));
}

TEST_CASE("shared fit reports NaN only for an unknown the data do not see") {
    // In the second spectrum R1 is so large that (R1,C1) is a pure capacitor:
    // its column of the Jacobian is zero, the rest stays determined.
    const SeriesList tree = tree_of("R0-(R1,C1)");
    const std::vector<double> f = log_freqs(30, 1e-1, 1e5);
    const std::vector<std::vector<double>> truth{{5.0, 100.0, 1e-5}, {5.0, 1e200, 1e-5}, {6.0, 120.0, 1e-5}};
    std::vector<std::vector<Cx>> z;
    SharedFitRequest req;
    req.circuit = &tree;
    for (const auto& p : truth) {
        std::vector<Cx> zi(f.size());
        sweep(rebuild(tree, p), f, zi.data());
        for (std::size_t k = 0; k < zi.size(); ++k) zi[k].re *= 1.0 + 1e-3 * std::sin(double(k));
        z.push_back(std::move(zi));
        req.starts.push_back(p);
    }
    for (const auto& zi : z) req.spectra.push_back({f, zi, {}});
    req.shared = {false, false, true};  // one capacitance for the series
    const SharedFitOutcome out = solved(run_shared_fit(req));
    CHECK(std::isnan(out.stderr_[1][1]));
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j)
            if (i != 1 || j != 1) CHECK((std::isfinite(out.stderr_[i][j]) && out.stderr_[i][j] > 0.0));
}

TEST_CASE("shared fit rejects bad requests") {
    const Series s = drifting_series(2, 0.0);
    const auto error_of = [](const SharedFitRequest& r) {
        const auto out = run_shared_fit(r);
        const auto* e = std::get_if<FitError>(&out);
        return e ? e->message() : std::string("ok");
    };
    SharedFitRequest req = s.request();
    req.starts.pop_back();
    CHECK(error_of(req).find("one starting vector per spectrum") != std::string::npos);
    req = s.request();
    req.starts[1][2] = NAN;
    CHECK(error_of(req).find("finite") != std::string::npos);
    req = s.request();
    req.spectra.clear();
    req.starts.clear();
    CHECK(error_of(req).find("must not be empty") != std::string::npos);
    req = s.request();
    req.spectra[0].impedances = req.spectra[0].impedances.first(3);
    CHECK(error_of(req).find("same length") != std::string::npos);
    req = s.request();
    req.limits = {{0.0, INFINITY}, {0.0, INFINITY}, {0.0, INFINITY}, {2.0, 3.0}};
    CHECK(error_of(req).find("range is empty") != std::string::npos);
    req = s.request();
    req.held.assign(4, true);
    CHECK(error_of(req).find("no parameters") != std::string::npos);
    req = s.request();
    req.shared = {true};
    CHECK(error_of(req).find("one entry per parameter") != std::string::npos);
}
