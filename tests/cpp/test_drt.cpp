#include <doctest/doctest.h>

#include <cmath>
#include <random>
#include <vector>

#include "drt/basis.hpp"
#include "drt/drt.hpp"
#include "drt/linalg.hpp"
#include "drt/solve.hpp"

using namespace zetrion;
using namespace zetrion::drt;

namespace {

constexpr double kPi = 3.141592653589793;

std::vector<double> log_freqs(std::size_t n, double hi, double lo) {
    std::vector<double> f(n);
    for (std::size_t i = 0; i < n; ++i) f[i] = hi * std::pow(lo / hi, double(i) / double(n - 1));
    return f;
}

// R / (1 + (i w tau0)^phi) and its exact DRT.
Cx zarc(double f, double r, double tau0, double phi) {
    return scale(r, reciprocal(Cx{1, 0} + cpow(Cx{0, 2 * kPi * f * tau0}, phi)));
}
Cx operator+(double a, Cx b) { return Cx{a + b.re, b.im}; }
double modulus(Cx a) { return std::hypot(a.re, a.im); }
double zarc_gamma(double tau, double r, double tau0, double phi) {
    const double x = phi * std::log(tau / tau0);
    return r / (2 * kPi) * std::sin((1 - phi) * kPi) / (std::cosh(x) - std::cos((1 - phi) * kPi));
}

double rel_l2(const std::vector<double>& a, const std::vector<double>& b) {
    double num = 0, den = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        num += (a[i] - b[i]) * (a[i] - b[i]);
        den += b[i] * b[i];
    }
    return std::sqrt(num / den);
}

}  // namespace

TEST_CASE("symmetric eigen-decomposition reproduces the matrix") {
    std::mt19937 rng(3);
    std::normal_distribution<double> nd;
    for (std::size_t n : {1u, 2u, 7u, 40u}) {
        Matrix a(n, n);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j <= i; ++j) a(i, j) = a(j, i) = nd(rng);
        std::vector<double> w;
        Matrix v;
        symmetric_eigen(a, w, v);
        for (std::size_t i = 1; i < n; ++i) CHECK(w[i - 1] <= w[i]);
        double err = 0, orth = 0;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) {
                double s = 0, o = 0;
                for (std::size_t k = 0; k < n; ++k) {
                    s += v(i, k) * w[k] * v(j, k);
                    o += v(k, i) * v(k, j);
                }
                err = std::max(err, std::abs(s - a(i, j)));
                orth = std::max(orth, std::abs(o - (i == j ? 1.0 : 0.0)));
            }
        CHECK(err < 1e-10);
        CHECK(orth < 1e-10);
    }
}

TEST_CASE("the spectral solution equals the directly solved normal equations") {
    std::mt19937 rng(5);
    std::normal_distribution<double> nd;
    Problem pr;
    pr.p = 1;
    pr.a = Matrix(30, 9);
    pr.b.resize(30);
    for (auto& v : pr.a.a) v = nd(rng);
    for (auto& v : pr.b) v = nd(rng);
    pr.penalty = Matrix(8, 8);
    for (std::size_t i = 0; i < 8; ++i) {
        pr.penalty(i, i) = 2;
        if (i > 0) pr.penalty(i, i - 1) = pr.penalty(i - 1, i) = -1;
    }
    const Spectral sp(pr);
    for (double lam : {1e-6, 0.3, 20.0}) {
        Matrix h = gram(pr.a);
        for (std::size_t i = 0; i < 8; ++i)
            for (std::size_t j = 0; j < 8; ++j) h(i + 1, j + 1) += lam * pr.penalty(i, j);
        std::vector<double> x = at_times(pr.a, pr.b);
        cholesky(h);
        cholesky_solve(h, x);
        const std::vector<double> y = sp.solve(lam);
        for (std::size_t i = 0; i < 9; ++i) CHECK(y[i] == doctest::Approx(x[i]).epsilon(1e-6));
        double res = 0;
        for (std::size_t r = 0; r < 30; ++r) {
            double s = -pr.b[r];
            for (std::size_t j = 0; j < 9; ++j) s += pr.a(r, j) * x[j];
            res += s * s;
        }
        CHECK(sp.residual2(lam) == doctest::Approx(res).epsilon(1e-8));
        CHECK(sp.trace(lam) > 1.0);
        CHECK(sp.trace(lam) < 9.0);
    }
}

TEST_CASE("the non-negative solver meets the optimality conditions") {
    // Random problems from every kind of warm start: all passive, none, and a
    // random half, so that indices enter and leave the factored set one at a
    // time and many at once; the last columns are nearly dependent in some.
    std::normal_distribution<double> nd;
    std::size_t zeros_seen = 0, cases = 0;
    for (unsigned seed = 0; seed < 40; ++seed) {
        std::mt19937 rng(seed);
        const std::size_t n = 10 + seed % 30;
        Matrix a(n + 15, n);
        for (auto& v : a.a) v = nd(rng);
        if (seed % 4 == 3)
            for (std::size_t r = 0; r < a.rows; ++r) a(r, n - 1) = a(r, n - 2) * (1 + 1e-7 * nd(rng));
        const Matrix h = gram(a);
        std::vector<double> g(n);
        for (auto& v : g) v = 3 * nd(rng);
        for (int start = 0; start < 3; ++start) {
            std::vector<double> hint(n, start == 0 ? 1.0 : 0.0);
            if (start == 2)
                for (auto& v : hint) v = nd(rng);
            std::vector<double> x;
            nonnegative_qp(h, g, hint, x);
            ++cases;
            double gmax = 0;
            for (double v : g) gmax = std::max(gmax, std::abs(v));
            for (std::size_t i = 0; i < n; ++i) {
                double w = g[i];
                for (std::size_t j = 0; j < n; ++j) w -= h(i, j) * x[j];
                CHECK(x[i] >= 0);
                if (x[i] > 0) CHECK(std::abs(w) < 1e-7 * gmax);
                else {
                    CHECK(w <= 1e-7 * gmax);
                    ++zeros_seen;
                }
            }
        }
    }
    CHECK(cases == 120);
    CHECK(zeros_seen > 0);  // the constraint is active somewhere for random data
}

TEST_CASE("the discretised kernel reproduces a basis function's impedance") {
    // A single Gaussian of width eps has Z = integral phi(eps s) / (1 + i w tau e^s) ds;
    // direct quadrature at a few frequencies.
    const double eps = 2.5;
    const std::vector<double> y{std::log(1e-3)};
    const std::vector<double> logw{std::log(10.0), std::log(159.0), std::log(1e4)};
    const Discretisation d = discretise(Basis::Gaussian, eps, 1, y, logw);
    for (std::size_t i = 0; i < logw.size(); ++i) {
        Cx direct{0, 0};
        const double h = 1e-4;
        for (double s = -4; s <= 4; s += h) {
            const Cx k = reciprocal(Cx{1.0, std::exp(logw[i] + y[0] + s)});
            direct += scale(basis_value(Basis::Gaussian, eps * s) * h, k);
        }
        CHECK(d.re(i, 0) == doctest::Approx(direct.re).epsilon(1e-6));
        CHECK(d.im(i, 0) == doctest::Approx(direct.im).epsilon(1e-6));
    }
    // Gaussian first-derivative penalty: integral (phi')^2 = eps sqrt(pi/2).
    CHECK(d.penalty(0, 0) == doctest::Approx(eps * std::sqrt(kPi / 2)).epsilon(1e-5));
    CHECK(basis_area(Basis::Gaussian, eps, 0) == doctest::Approx(std::sqrt(kPi) / eps).epsilon(1e-9));
}

TEST_CASE("a ZARC's DRT: shape, resistances and every lambda finite and non-negative") {
    const auto f = log_freqs(81, 1e6, 1e-2);
    std::vector<Cx> z(f.size());
    for (std::size_t i = 0; i < f.size(); ++i) z[i] = 10.0 + zarc(f[i], 100, 1e-3, 0.8);
    Settings s;
    Error err;
    const auto r = compute(f, z, s, err);
    REQUIRE(r);
    CHECK(r->r_inf == doctest::Approx(10).epsilon(0.01));
    CHECK(r->polarisation == doctest::Approx(100).epsilon(0.03));
    std::vector<double> exact, inside;
    for (std::size_t k = 0; k < r->tau_fine.size(); ++k)
        if (r->tau_fine[k] > 1.6e-7 && r->tau_fine[k] < 16) {
            exact.push_back(zarc_gamma(r->tau_fine[k], 100, 1e-3, 0.8));
            inside.push_back(r->gamma_fine[k]);
        }
    CHECK(rel_l2(inside, exact) < 0.1);
    for (double lam : {1e-8, 1e-5, 1e-2, 1.0, 10.0}) {
        s.rule = LambdaRule::Given;
        s.lambda = lam;
        const auto q = compute(f, z, s, err);
        REQUIRE(q);
        for (double g : q->gamma_fine) {
            CHECK(std::isfinite(g));
            CHECK(g >= 0);
        }
    }
}

TEST_CASE("every lambda rule and basis gives a DRT whose impedance matches the data") {
    const auto f = log_freqs(61, 1e5, 1e-1);
    std::vector<Cx> z(f.size());
    for (std::size_t i = 0; i < f.size(); ++i) z[i] = 5.0 + zarc(f[i], 20, 1e-2, 0.9) + zarc(f[i], 30, 1e-4, 0.85);
    Error err;
    for (LambdaRule rule : {LambdaRule::Gcv, LambdaRule::ModifiedGcv, LambdaRule::RobustGcv, LambdaRule::LCurve,
                            LambdaRule::ReImCv}) {
        Settings s;
        s.rule = rule;
        s.derivative = 2;
        const auto r = compute(f, z, s, err);
        REQUIRE(r);
        CHECK(r->lambda >= 1e-8);
        CHECK(r->lambda <= 10);
        CHECK(r->polarisation == doctest::Approx(50).epsilon(0.05));
    }
    for (Basis b : {Basis::C2Matern, Basis::C6Matern, Basis::InverseQuadratic, Basis::PiecewiseLinear}) {
        Settings s;
        s.basis = b;
        s.rule = LambdaRule::Given;
        s.lambda = 1e-4;
        const auto r = compute(f, z, s, err);
        REQUIRE(r);
        double worst = 0;
        for (std::size_t i = 0; i < f.size(); ++i) worst = std::max(worst, modulus(r->z_fit[i] - z[i]) / modulus(z[i]));
        INFO(basis_name(b));
        CHECK(worst < 0.02);
    }
}

TEST_CASE("a signed DRT goes negative for a low-frequency inductive loop") {
    const auto f = log_freqs(81, 1e6, 1e-2);
    std::vector<Cx> z(f.size());
    // ZARC plus a parallel R-L loop: R_L - R_L / (1 + (i w tau_L)^0.9).
    for (std::size_t i = 0; i < f.size(); ++i) z[i] = 40.0 + zarc(f[i], 100, 1e-3, 0.8) - zarc(f[i], 30, 1.0, 0.9);
    Settings s;
    s.signed_drt = true;
    Error err;
    const auto r = compute(f, z, s, err);
    REQUIRE(r);
    double lowest = 0;
    for (std::size_t k = 0; k < r->tau_fine.size(); ++k)
        if (r->tau_fine[k] > 0.1 && r->tau_fine[k] < 10) lowest = std::min(lowest, r->gamma_fine[k]);
    CHECK(lowest < -0.5 * zarc_gamma(1.0, 30, 1.0, 0.9));
    CHECK(r->polarisation == doctest::Approx(70).epsilon(0.03));  // 100 up, 30 back down
}

TEST_CASE("invalid input and settings are refused with a message") {
    const auto f = log_freqs(10, 1e3, 1);
    std::vector<Cx> z(10, Cx{1, -1});
    Error err;
    Settings s;
    CHECK_FALSE(compute({1, 2, 3}, {Cx{1, 0}, Cx{1, 0}, Cx{1, 0}}, s, err));
    CHECK_FALSE(compute(f, std::vector<Cx>(9, Cx{1, 0}), s, err));
    auto bad = z;
    bad[3] = Cx{std::nan(""), 0};
    CHECK_FALSE(compute(f, bad, s, err));
    CHECK(err.message.find("point 3") != std::string::npos);
    CHECK_FALSE(compute(std::vector<double>(10, 5.0), z, s, err));
    s.derivative = 3;
    CHECK_FALSE(compute(f, z, s, err));
    s.derivative = 1;
    s.lambda = -1;
    CHECK_FALSE(compute(f, z, s, err));
    s.lambda = 1e-3;
    const auto many = log_freqs(2001, 1e6, 1e-2);
    CHECK_FALSE(compute(many, std::vector<Cx>(many.size(), Cx{1, -1}), s, err));
    CHECK(err.message.find("2000") != std::string::npos);
}

TEST_CASE("eigenvalues with a projected vector agree with the full decomposition") {
    std::mt19937 rng(4);
    std::normal_distribution<double> nd;
    const std::size_t n = 30;
    Matrix a(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j) a(i, j) = a(j, i) = nd(rng);
    std::vector<double> w(n), full, fast;
    for (auto& v : w) v = nd(rng);
    Matrix v;
    symmetric_eigen(a, full, v);
    std::vector<double> proj = w;
    symmetric_eigen_projected(a, fast, proj);
    for (std::size_t k = 0; k < n; ++k) {
        CHECK(fast[k] == doctest::Approx(full[k]).epsilon(1e-10));
        double s = 0;
        for (std::size_t i = 0; i < n; ++i) s += v(i, k) * w[i];
        CHECK(std::abs(proj[k]) == doctest::Approx(std::abs(s)).epsilon(1e-8));  // a vector's sign is free
    }
}

TEST_CASE("names, half widths and the Cholesky ridge") {
    for (Basis b : {Basis::Gaussian, Basis::C0Matern, Basis::C2Matern, Basis::C4Matern, Basis::C6Matern,
                    Basis::InverseQuadratic, Basis::InverseQuadric, Basis::Cauchy, Basis::PiecewiseLinear}) {
        CHECK(parse_basis(basis_name(b)) == b);
        CHECK(basis_value(b, 0) == doctest::Approx(1));
        CHECK(basis_value(b, half_width(b)) == doctest::Approx(0.5).epsilon(1e-12));
        CHECK(basis_value(b, -half_width(b)) == doctest::Approx(0.5).epsilon(1e-12));
    }
    for (LambdaRule r : {LambdaRule::Given, LambdaRule::Gcv, LambdaRule::ModifiedGcv, LambdaRule::RobustGcv,
                         LambdaRule::LCurve, LambdaRule::ReImCv})
        CHECK(parse_lambda_rule(lambda_rule_name(r)) == r);
    CHECK_FALSE(parse_basis("Gaussian"));
    CHECK_FALSE(parse_lambda_rule(""));
    CHECK_FALSE(parse_data_part("phase"));
    // A singular matrix is factored with a ridge; the factor stays finite.
    Matrix m(3, 3);
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j) m(i, j) = 1.0;
    CHECK(cholesky(m) > 0);
    for (std::size_t i = 0; i < 3; ++i) CHECK(std::isfinite(m(i, i)));
    Matrix ok(2, 2);
    ok(0, 0) = 4;
    ok(1, 1) = 9;
    CHECK(cholesky(ok) == 0);
    CHECK(ok(1, 1) == doctest::Approx(3));
}

TEST_CASE("centre placement, density, weighting and the fine grid") {
    const auto f = log_freqs(41, 1e5, 1e-1);
    std::vector<Cx> z(f.size());
    for (std::size_t i = 0; i < f.size(); ++i) z[i] = 1.0 + zarc(f[i], 1000, 1e-2, 0.85);
    Error err;
    Settings s;
    s.rule = LambdaRule::Given;
    s.lambda = 1e-4;
    s.centre_shift = std::log(2 * kPi);
    auto r = compute(f, z, s, err);
    REQUIRE(r);
    CHECK(r->tau.front() == doctest::Approx(1 / f.front()).epsilon(1e-12));
    CHECK(r->tau.back() == doctest::Approx(1 / f.back()).epsilon(1e-12));
    s.centre_shift = 0;
    s.density = 3;
    r = compute(f, z, s, err);
    REQUIRE(r);
    CHECK(r->tau.size() == 3 * (f.size() - 1) + 1);
    const auto again = gamma_at(s.basis, r->epsilon, r->tau, r->coeffs, r->tau_fine);
    for (std::size_t k = 0; k < again.size(); ++k) CHECK(again[k] == doctest::Approx(r->gamma_fine[k]));
    // Centres in any order give the same gamma as ascending ones.
    const std::vector<double> tau_rev(r->tau.rbegin(), r->tau.rend()), coeffs_rev(r->coeffs.rbegin(), r->coeffs.rend());
    const auto reversed = gamma_at(s.basis, r->epsilon, tau_rev, coeffs_rev, r->tau_fine);
    for (std::size_t k = 0; k < again.size(); ++k) CHECK(reversed[k] == doctest::Approx(again[k]).epsilon(1e-12));
    // Relative weighting fits the small high-frequency impedances closely.
    s.density = 1;
    s.weighting = Weighting::Modulus;
    s.lambda = 1e-6;
    r = compute(f, z, s, err);
    REQUIRE(r);
    CHECK(modulus(r->z_fit[0] - z[0]) / modulus(z[0]) < 0.01);
    CHECK(r->r_inf == doctest::Approx(1).epsilon(0.05));
    s.density = 9;
    CHECK_FALSE(compute(f, z, s, err));
}

TEST_CASE("the weighted penalty: the exact penalty under flat weights, heavier away from the peak") {
    std::vector<double> y(41);
    for (std::size_t i = 0; i < y.size(); ++i) y[i] = -8.0 + 0.23 * double(i);
    const std::vector<double> logw{0.0};
    for (Basis b : {Basis::Gaussian, Basis::C4Matern, Basis::InverseQuadratic})
        for (int k : {1, 2}) {
            const double eps = shape_factor(b, 0.5, 0.23);
            const Discretisation d = discretise(b, eps, k, y, logw);
            const PenaltyLattice lat = penalty_lattice(b, eps, k, y);
            // zero coefficients: every weight 1, the penalty of the plain problem
            const Matrix flat = weighted_penalty(lat, std::vector<double>(y.size(), 0.0), 0.005);
            double top = 0, diff = 0;
            for (std::size_t i = 10; i < 31; ++i)
                for (std::size_t j = 10; j < 31; ++j) {
                    top = std::max(top, std::abs(d.penalty(i, j)));
                    diff = std::max(diff, std::abs(flat(i, j) - d.penalty(i, j)));
                }
            CAPTURE(basis_name(b));
            CAPTURE(k);
            CHECK(diff < 2e-3 * top);
        }
    // one peak at centre 20: the diagonal there keeps its flat value, far
    // from it the weight is (1 + floor) / floor
    const double eps = shape_factor(Basis::Gaussian, 0.5, 0.23);
    const PenaltyLattice lat = penalty_lattice(Basis::Gaussian, eps, 1, y);
    std::vector<double> c(y.size(), 0.0);
    c[20] = 1.0;
    const Matrix flat = weighted_penalty(lat, std::vector<double>(y.size(), 0.0), 0.01);
    const Matrix m = weighted_penalty(lat, c, 0.01);
    CHECK(m(20, 20) >= flat(20, 20));
    CHECK(m(20, 20) < 0.1 * m(5, 5));
    CHECK(m(5, 5) == doctest::Approx(101 * flat(5, 5)).epsilon(1e-3));
    for (std::size_t i = 0; i < y.size(); ++i)
        for (std::size_t j = 0; j < y.size(); ++j) CHECK(m(i, j) == m(j, i));
}

TEST_CASE("adaptive smoothing: its lambda, and a noisy ZARC recovered better than by plain Tikhonov") {
    const auto f = log_freqs(81, 1e6, 1e-2);
    std::mt19937 rng(4);
    std::normal_distribution<double> n01;
    std::vector<Cx> z(f.size());
    for (std::size_t i = 0; i < f.size(); ++i) {
        const Cx v = 10.0 + zarc(f[i], 100, 1e-3, 0.8);
        z[i] = v + Cx{0.01 * modulus(v) * n01(rng), 0.01 * modulus(v) * n01(rng)};
    }
    Settings plain;
    plain.adapt_iterations = 0;
    Settings adaptive;  // the defaults
    Error err;
    const auto r0 = compute(f, z, plain, err);
    const auto r1 = compute(f, z, adaptive, err);
    REQUIRE(r0);
    REQUIRE(r1);
    CHECK(r0->lambda == r0->rule_lambda);
    CHECK(r1->lambda == doctest::Approx(adaptive.adapt_scale * r1->rule_lambda));
    CHECK(r1->rule_lambda == doctest::Approx(r0->lambda));  // the rule sees the plain problem
    std::vector<double> exact(r0->tau_fine.size());
    for (std::size_t k = 0; k < exact.size(); ++k) exact[k] = zarc_gamma(r0->tau_fine[k], 100, 1e-3, 0.8);
    const double e0 = rel_l2(r0->gamma_fine, exact), e1 = rel_l2(r1->gamma_fine, exact);
    CAPTURE(e0);
    CAPTURE(e1);
    CHECK(e1 < 0.85 * e0);
    for (double g : r1->gamma_fine) CHECK(g >= 0);
    CHECK(r1->polarisation == doctest::Approx(100).epsilon(0.01));
    Settings given = adaptive;
    given.rule = LambdaRule::Given;
    given.lambda = 1e-2;
    const auto r2 = compute(f, z, given, err);
    REQUIRE(r2);
    CHECK(r2->lambda == 1e-2);
    adaptive.adapt_floor = 0;
    CHECK_FALSE(compute(f, z, adaptive, err));
    CHECK(err.message.find("adapt_floor") != std::string::npos);
}

TEST_CASE("the wide and the baseline kernels give the same DRT to the last bit") {
    // Noisy two-arc data under every lambda rule, signed and not: the
    // Cholesky factors, the reduction, the Gram matrix and the row solves all
    // run in both builds of the kernels.
    const auto f = log_freqs(61, 1e5, 1e-2);
    std::mt19937 rng(4);
    std::normal_distribution<double> nd(0, 0.01);
    std::vector<Cx> z(f.size());
    for (std::size_t i = 0; i < f.size(); ++i) {
        const Cx v = 5.0 + zarc(f[i], 40, 1e-4, 0.85) + zarc(f[i], 60, 1e-1, 0.8);
        z[i] = Cx{v.re + modulus(v) * nd(rng), v.im + modulus(v) * nd(rng)};
    }
    for (LambdaRule rule : {LambdaRule::Gcv, LambdaRule::LCurve, LambdaRule::ReImCv})
        for (bool sign : {false, true}) {
            Settings s;
            s.rule = rule;
            s.signed_drt = sign;
            Error err;
            use_baseline_kernels(true);
            const auto base = compute(f, z, s, err);
            use_baseline_kernels(false);
            const auto wide = compute(f, z, s, err);
            REQUIRE(base);
            REQUIRE(wide);
            CHECK(base->lambda == wide->lambda);
            CHECK(base->coeffs == wide->coeffs);
            CHECK(base->gamma_fine == wide->gamma_fine);
        }
}

TEST_CASE("an evenly spaced sweep is discretised as an uneven one would be") {
    // Evenly spaced points take the shortcut (each distinct kernel value and
    // lattice entry found once); moving one point by 3e-9 in ln, beyond
    // what counts as even, takes the general path. Away from that point the
    // two must agree to rounding, whatever the sweep's direction and the
    // centre density.
    for (bool descending : {true, false})
        for (std::size_t density : {std::size_t{1}, std::size_t{3}}) {
            const std::size_t m = 31, n = (m - 1) * density + 1;
            std::vector<double> logw(m), y(n);
            for (std::size_t i = 0; i < m; ++i) logw[i] = (descending ? 9.0 - 0.3 * double(i) : 0.3 * double(i));
            for (std::size_t j = 0; j < n; ++j) y[j] = -9.0 + 0.3 * double(j) / double(density);
            auto uneven_w = logw, uneven_y = y;
            uneven_w[m / 2] += 3e-9;
            uneven_y[n / 2] += 3e-9;
            const double eps = shape_factor(Basis::Gaussian, 0.5, 0.3 / double(density));
            const Discretisation even = discretise(Basis::Gaussian, eps, 1, y, logw);
            const Discretisation general = discretise(Basis::Gaussian, eps, 1, y, uneven_w);
            CAPTURE(descending);
            CAPTURE(density);
            double diff = 0;
            for (std::size_t i = 0; i < m; ++i)
                for (std::size_t j = 0; j < n; ++j)
                    if (i != m / 2) {
                        diff = std::max(diff, std::abs(even.re(i, j) - general.re(i, j)));
                        diff = std::max(diff, std::abs(even.im(i, j) - general.im(i, j)));
                    }
            CHECK(diff < 1e-12);
            const Matrix& pen_even = even.penalty;
            const Matrix pen_general = discretise(Basis::Gaussian, eps, 1, uneven_y, logw).penalty;
            diff = 0;
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j)
                    if (i != n / 2 && j != n / 2) diff = std::max(diff, std::abs(pen_even(i, j) - pen_general(i, j)));
            CHECK(diff < 1e-12 * pen_even(0, 0));
            const Matrix lat_even = weighted_penalty(penalty_lattice(Basis::Gaussian, eps, 2, y), y, 0.01);
            const Matrix lat_general = weighted_penalty(penalty_lattice(Basis::Gaussian, eps, 2, uneven_y), y, 0.01);
            double top = 0;
            diff = 0;
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j) {
                    top = std::max(top, std::abs(lat_even(i, j)));
                    diff = std::max(diff, std::abs(lat_even(i, j) - lat_general(i, j)));
                }
            CHECK(diff < 1e-6 * top);
        }
}
