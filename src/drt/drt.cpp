#include "drt/drt.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

#include "drt/basis.hpp"
#include "drt/solve.hpp"

namespace zetrion::drt {
namespace {

constexpr std::size_t kMaxCentres = 2000;

constexpr std::array<std::pair<Basis, std::string_view>, 9> kBases{{
    {Basis::Gaussian, "gaussian"},
    {Basis::C0Matern, "c0_matern"},
    {Basis::C2Matern, "c2_matern"},
    {Basis::C4Matern, "c4_matern"},
    {Basis::C6Matern, "c6_matern"},
    {Basis::InverseQuadratic, "inverse_quadratic"},
    {Basis::InverseQuadric, "inverse_quadric"},
    {Basis::Cauchy, "cauchy"},
    {Basis::PiecewiseLinear, "piecewise_linear"},
}};

constexpr std::array<std::pair<LambdaRule, std::string_view>, 6> kRules{{
    {LambdaRule::Given, "given"},
    {LambdaRule::Gcv, "gcv"},
    {LambdaRule::ModifiedGcv, "mgcv"},
    {LambdaRule::RobustGcv, "rgcv"},
    {LambdaRule::LCurve, "lcurve"},
    {LambdaRule::ReImCv, "re_im"},
}};

template <class T, std::size_t N>
std::optional<T> lookup(const std::array<std::pair<T, std::string_view>, N>& table, std::string_view name) {
    for (const auto& [v, n] : table)
        if (n == name) return v;
    return std::nullopt;
}

// The spectrum, its weights and the discretisation, shared by every
// problem built from it.
struct Setup {
    std::vector<double> omega, y, w;
    std::vector<Cx> z;
    double eps = 0, spacing = 0;
    Discretisation disc;
};

// Rows: the real parts then the imaginary parts (as asked); columns:
// R_inf when real rows are present, L when asked and imaginary rows are
// present, then the basis.
Problem build(const Setup& st, bool real, bool imag, bool inductance) {
    const std::size_t m = st.omega.size(), n = st.y.size();
    const bool use_r = real, use_l = inductance && imag;
    Problem pr;
    pr.p = static_cast<std::size_t>(use_r) + static_cast<std::size_t>(use_l);
    const std::size_t rows = m * (static_cast<std::size_t>(real) + static_cast<std::size_t>(imag));
    pr.a = Matrix(rows, pr.p + n);
    pr.b.assign(rows, 0.0);
    std::size_t r = 0;
    for (int part = 0; part < 2; ++part) {
        if ((part == 0 && !real) || (part == 1 && !imag)) continue;
        for (std::size_t i = 0; i < m; ++i, ++r) {
            const double w = st.w[i];
            std::size_t c = 0;
            if (use_r) pr.a(r, c++) = part == 0 ? w : 0.0;
            if (use_l) pr.a(r, c++) = part == 1 ? w * st.omega[i] : 0.0;
            const Matrix& src = part == 0 ? st.disc.re : st.disc.im;
            for (std::size_t j = 0; j < n; ++j) pr.a(r, c + j) = w * src(i, j);
            pr.b[r] = w * (part == 0 ? st.z[i].re : st.z[i].im);
        }
    }
    pr.penalty = st.disc.penalty;
    return pr;
}

// The weighted misfit of one part of the spectrum predicted from basis
// coefficients fitted to the other part, with the free offset (R_inf) or
// slope (L) that part leaves undetermined set by least squares.
double cross_misfit(const Setup& st, const std::vector<double>& x, std::size_t p, bool predict_real, bool free_term) {
    const std::size_t m = st.omega.size(), n = st.y.size();
    std::vector<double> res(m), basis(m);
    for (std::size_t i = 0; i < m; ++i) {
        double s = 0;
        const Matrix& src = predict_real ? st.disc.re : st.disc.im;
        for (std::size_t j = 0; j < n; ++j) s += src(i, j) * x[p + j];
        res[i] = st.w[i] * ((predict_real ? st.z[i].re : st.z[i].im) - s);
        basis[i] = st.w[i] * (predict_real ? 1.0 : st.omega[i]);
    }
    if (free_term) {
        double num = 0, den = 0;
        for (std::size_t i = 0; i < m; ++i) {
            num += res[i] * basis[i];
            den += basis[i] * basis[i];
        }
        const double c = den > 0 ? num / den : 0.0;
        for (std::size_t i = 0; i < m; ++i) res[i] -= c * basis[i];
    }
    double s = 0;
    for (double v : res) s += v * v;
    return s;
}

double gcv_like(const Spectral& sp, LambdaRule rule, double lambda) {
    const auto n = static_cast<double>(sp.rows());
    const double tr = sp.trace(lambda);
    const double res = sp.residual2(lambda);
    const double inf = std::numeric_limits<double>::infinity();
    if (rule == LambdaRule::ModifiedGcv) {
        const double rho = n < 50 ? 1.3 : 2.0;
        const double den = n - rho * tr;
        return den > 0 ? n * res / (den * den) : inf;
    }
    const double den = n - tr;
    if (den <= 0) return inf;
    const double gcv = n * res / (den * den);
    if (rule == LambdaRule::RobustGcv) {
        const double xi = n < 100 ? 0.2 : 0.3;
        return (xi + (1 - xi) * sp.trace2(lambda) / n) * gcv;
    }
    return gcv;
}

// Minus the curvature of the L-curve (log residual, log seminorm) in log lambda.
double lcurve(const Spectral& sp, double t) {
    const double h = 0.02;
    std::array<double, 3> xs{}, ys{};
    for (int k = 0; k < 3; ++k) {
        const double lam = std::pow(10.0, t + (k - 1) * h);
        xs[static_cast<std::size_t>(k)] = std::log(std::max(sp.residual2(lam), 1e-300));
        ys[static_cast<std::size_t>(k)] = std::log(std::max(sp.seminorm2(lam), 1e-300));
    }
    const double x1 = (xs[2] - xs[0]) / (2 * h), y1 = (ys[2] - ys[0]) / (2 * h);
    const double x2 = (xs[2] - 2 * xs[1] + xs[0]) / (h * h), y2 = (ys[2] - 2 * ys[1] + ys[0]) / (h * h);
    const double den = std::pow(x1 * x1 + y1 * y1, 1.5);
    return den > 0 ? -(x1 * y2 - x2 * y1) / den : 0.0;
}

// The criteria of the GCV family estimate the noise variance per residual
// at their minimum. A measured spectrum is never known better than about
// 1e-4 of |Z| (`noise_floor`); below that level GCV on clean or synthetic data
// chases ever smaller lambda and gamma rings. The floor as a score.
double gcv_floor(const Problem& pr, const Settings& s) {
    double ss = 0;
    for (double v : pr.b) ss += v * v;
    const double rms = std::sqrt(ss / static_cast<double>(std::max<std::size_t>(pr.b.size(), 1)));
    return s.noise_floor * rms * s.noise_floor * rms;
}

// The largest lambda of the scan, at or above the minimum `best`, whose
// score stays below the minimum plus the floor: the smoothest DRT the
// criterion cannot tell from its best at the noise floor.
double widen(const std::vector<double>& grid, const std::vector<double>& scores, double best, double fbest,
             double floor) {
    const double limit = fbest + floor;
    double chosen = best;
    for (std::size_t i = 0; i < grid.size(); ++i) {
        if (grid[i] <= best) continue;
        if (!(scores[i] <= limit)) break;
        chosen = grid[i];
    }
    return chosen;
}

double choose_lambda(const Setup& st, const Settings& s, const Problem& pr, const Spectral& sp, Result& out) {
    const double lo = std::log10(s.lambda_min), hi = std::log10(s.lambda_max);
    if (s.rule == LambdaRule::ReImCv) {
        const Problem pre = build(st, true, false, false);
        const Problem pim = build(st, false, true, s.inductance);
        const Spectral sre(pre, true), sim(pim, true);
        const auto crit = [&](double t) {
            const double lam = std::pow(10.0, t);
            return cross_misfit(st, sre.solve(lam), pre.p, false, s.inductance) +
                   cross_misfit(st, sim.solve(lam), pim.p, true, true);
        };
        return std::pow(10.0, minimise_log(crit, lo, hi, out.lambda_grid, out.score_grid));
    }
    (void)pr;
    if (s.rule == LambdaRule::LCurve)
        return std::pow(10.0, minimise_log([&](double t) { return lcurve(sp, t); }, lo, hi, out.lambda_grid,
                                           out.score_grid));
    const auto crit = [&](double t) { return gcv_like(sp, s.rule, std::pow(10.0, t)); };
    const double best = minimise_log(crit, lo, hi, out.lambda_grid, out.score_grid);
    return std::pow(10.0, widen(out.lambda_grid, out.score_grid, best, crit(best), gcv_floor(pr, s)));
}

bool validate(const std::vector<double>& f, const std::vector<Cx>& z, const Settings& s, Error& err) {
    const auto fail = [&](std::string m) {
        err.message = std::move(m);
        return false;
    };
    if (f.size() != z.size()) return fail("frequencies and impedances differ in length");
    if (f.size() < 4) return fail("a DRT needs at least 4 points");
    for (std::size_t i = 0; i < f.size(); ++i)
        if (!(std::isfinite(f[i]) && f[i] > 0) || !std::isfinite(z[i].re) || !std::isfinite(z[i].im))
            return fail("frequencies must be finite and > 0 and impedances finite (point " + std::to_string(i) + ")");
    if (s.derivative != 1 && s.derivative != 2) return fail("derivative must be 1 or 2");
    if (!(s.fwhm_coeff > 0) || !std::isfinite(s.fwhm_coeff)) return fail("the FWHM coefficient must be > 0");
    if (s.shape_factor && !(*s.shape_factor > 0 && std::isfinite(*s.shape_factor)))
        return fail("the shape factor must be > 0");
    if (!(s.lambda > 0) || !std::isfinite(s.lambda)) return fail("lambda must be finite and > 0");
    if (!(s.lambda_min > 0 && s.lambda_max > s.lambda_min && std::isfinite(s.lambda_max)))
        return fail("the lambda range must satisfy 0 < lambda_min < lambda_max");
    if (s.fine_per_decade < 1 || s.fine_per_decade > 10000) return fail("fine_per_decade must be in 1..10000");
    if (!(s.fine_extension >= 0 && s.fine_extension <= 10)) return fail("fine_extension must be in 0..10");
    if (!(s.noise_floor >= 0 && s.noise_floor < 1)) return fail("noise_floor must be in [0, 1)");
    if (s.density < 1 || s.density > 8) return fail("density must be in 1..8");
    if (s.adapt_iterations < 0 || s.adapt_iterations > 20) return fail("adapt_iterations must be in 0..20");
    if (!(s.adapt_floor > 0 && s.adapt_floor <= 1)) return fail("adapt_floor must be in (0, 1]");
    if (!(s.adapt_scale > 0 && std::isfinite(s.adapt_scale))) return fail("adapt_scale must be finite and > 0");
    // The work grows as the cube of the centre count: 2000 take seconds.
    if ((f.size() - 1) * s.density + 1 > kMaxCentres)
        return fail("a DRT takes at most " + std::to_string(kMaxCentres) + " basis centres (points times density)");
    if (!(std::abs(s.centre_shift) <= 10)) return fail("centre_shift must be within 10 (ln tau)");
    if (s.data == DataPart::Real && s.rule == LambdaRule::ReImCv)
        return fail("re/im cross-validation needs both parts of the spectrum");
    if (s.data == DataPart::Imaginary && s.rule == LambdaRule::ReImCv)
        return fail("re/im cross-validation needs both parts of the spectrum");
    return true;
}

bool make_setup(const std::vector<double>& f, const std::vector<Cx>& z, const Settings& s, Setup& st, Error& err) {
    const std::size_t m = f.size();
    st.z = z;
    st.omega.resize(m);
    st.y.resize(m);
    std::vector<double> logw(m);
    for (std::size_t i = 0; i < m; ++i) {
        st.omega[i] = kTwoPi * f[i];
        logw[i] = std::log(st.omega[i]);
        st.y[i] = -logw[i] + s.centre_shift;
    }
    std::sort(st.y.begin(), st.y.end());
    st.spacing = (st.y.back() - st.y.front()) / static_cast<double>(m - 1);
    if (s.density > 1 && st.spacing > 0) {  // more centres than points, evenly spaced
        const double y0 = st.y.front(), y1 = st.y.back();
        const std::size_t n = (m - 1) * s.density + 1;
        st.y.resize(n);
        for (std::size_t j = 0; j < n; ++j) st.y[j] = y0 + (y1 - y0) * static_cast<double>(j) / static_cast<double>(n - 1);
        st.spacing /= static_cast<double>(s.density);
    }
    if (!(st.spacing > 0)) {
        err.message = "the frequencies must span a range";
        return false;
    }
    st.eps = s.shape_factor ? *s.shape_factor : shape_factor(s.basis, s.fwhm_coeff, st.spacing);
    if (s.basis == Basis::PiecewiseLinear) st.eps = 1 / st.spacing;
    st.w.assign(m, 1.0);
    if (s.weighting == Weighting::Modulus) {
        double lg = 0;
        for (const Cx& v : z) lg += std::log(std::max(std::hypot(v.re, v.im), 1e-300));
        const double scale = std::exp(lg / static_cast<double>(m));
        for (std::size_t i = 0; i < m; ++i) st.w[i] = scale / std::max(std::hypot(z[i].re, z[i].im), 1e-300 * scale);
    }
    st.disc = discretise(s.basis, st.eps, s.derivative, st.y, logw);
    return true;
}

// Coefficients at lambda: the signed solution, or the non-negative one.
std::vector<double> coefficients(const Problem& pr, const Spectral& sp, double lambda, bool signed_drt,
                                 std::size_t& iterations) {
    std::vector<double> x = sp.solve(lambda);
    // The unconstrained solution is the constrained one when it is feasible.
    if (signed_drt || std::all_of(x.begin(), x.end(), [](double v) { return v >= 0; })) return x;
    Matrix h = sp.normal_matrix();
    for (std::size_t i = 0; i < pr.penalty.rows; ++i)
        for (std::size_t j = 0; j < pr.penalty.cols; ++j) h(pr.p + i, pr.p + j) += lambda * pr.penalty(i, j);
    const std::vector<double> g = at_times(pr.a, pr.b);
    std::vector<double> out;
    iterations = nonnegative_qp(h, g, x, out);
    return out;
}

// The coefficients that minimise |a x - b|^2 + lambda x[p:]^T m x[p:],
// signed or non-negative (the active set warm-started from `previous`).
std::vector<double> penalised_solve(const Problem& pr, const Spectral& sp, const Matrix& m, double lambda,
                                    bool signed_drt, const std::vector<double>& previous, std::size_t& iterations) {
    Matrix h = sp.normal_matrix();
    for (std::size_t i = 0; i < m.rows; ++i)
        for (std::size_t j = 0; j < m.cols; ++j) h(pr.p + i, pr.p + j) += lambda * m(i, j);
    const std::vector<double> g = at_times(pr.a, pr.b);
    const std::size_t n = g.size();
    // Unit diagonal: R_inf, L and the basis columns differ by many orders.
    std::vector<double> d(n, 1.0);
    for (std::size_t i = 0; i < n; ++i)
        if (h(i, i) > 0) d[i] = 1 / std::sqrt(h(i, i));
    if (!signed_drt) {
        std::vector<double> out;
        iterations += nonnegative_qp(h, g, previous, out);
        return out;
    }
    Matrix k(n, n);
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = g[i] * d[i];
        for (std::size_t j = 0; j < n; ++j) k(i, j) = h(i, j) * d[i] * d[j];
    }
    cholesky(k);
    cholesky_solve(k, x);
    for (std::size_t i = 0; i < n; ++i) x[i] *= d[i];
    return x;
}

// Re-solves with the penalty weighted by the previous gamma (Settings); the
// result is non-negative only when the DRT is not signed and the last
// re-solve ran (the caller checks).
std::vector<double> adapt(const Setup& st, const Settings& s, const Problem& pr, const Spectral& sp,
                          std::vector<double> x, double lambda, std::size_t& iterations) {
    const PenaltyLattice lat = penalty_lattice(s.basis, st.eps, s.derivative, st.y);
    for (int it = 0; it < s.adapt_iterations; ++it) {
        const std::vector<double> c(x.begin() + static_cast<std::ptrdiff_t>(pr.p), x.end());
        if (std::all_of(c.begin(), c.end(), [](double v) { return v == 0.0; })) break;
        const Matrix m = weighted_penalty(lat, c, s.adapt_floor);
        // Only the last solve needs the constraint: the weights before it
        // follow |gamma| of the unconstrained one closely enough.
        const bool last = it + 1 == s.adapt_iterations;
        x = penalised_solve(pr, sp, m, lambda, s.signed_drt || !last, x, iterations);
    }
    return x;
}

void fill_result(const Setup& st, const Settings& s, const Problem& pr, const std::vector<double>& x, Result& out) {
    const std::size_t m = st.omega.size(), n = st.y.size();
    const bool real = s.data != DataPart::Imaginary, imag = s.data != DataPart::Real;
    std::size_t c = 0;
    out.r_inf = real ? x[c++] : 0.0;
    out.inductance = s.inductance && imag ? x[c++] : 0.0;
    out.coeffs.assign(x.begin() + static_cast<std::ptrdiff_t>(pr.p), x.end());
    out.epsilon = st.eps;
    out.tau.resize(n);
    for (std::size_t j = 0; j < n; ++j) out.tau[j] = std::exp(st.y[j]);
    out.z_fit.resize(m);
    for (std::size_t i = 0; i < m; ++i) {
        double re = 0, im = 0;
        for (std::size_t j = 0; j < n; ++j) {
            re += st.disc.re(i, j) * out.coeffs[j];
            im += st.disc.im(i, j) * out.coeffs[j];
        }
        out.z_fit[i] = Cx{re, im};
    }
    if (!real) {  // R_inf from the real part the fit did not use
        double sum = 0;
        for (std::size_t i = 0; i < m; ++i) sum += st.z[i].re - out.z_fit[i].re;
        out.r_inf = sum / static_cast<double>(m);
    }
    for (std::size_t i = 0; i < m; ++i) out.z_fit[i] += Cx{out.r_inf, st.omega[i] * out.inductance};
    const double y0 = st.y.front() - s.fine_extension * std::log(10.0);
    const double y1 = st.y.back() + s.fine_extension * std::log(10.0);
    const auto count = static_cast<std::size_t>(std::ceil((y1 - y0) / std::log(10.0) *
                                                          static_cast<double>(s.fine_per_decade))) + 1;
    out.tau_fine.resize(count);
    for (std::size_t k = 0; k < count; ++k)
        out.tau_fine[k] = std::exp(y0 + (y1 - y0) * static_cast<double>(k) / static_cast<double>(count - 1));
    out.gamma_fine = gamma_at(s.basis, st.eps, out.tau, out.coeffs, out.tau_fine);
    const double area = basis_area(s.basis, st.eps, st.spacing);
    out.polarisation = std::accumulate(out.coeffs.begin(), out.coeffs.end(), 0.0) * area;
}

}  // namespace

std::optional<Basis> parse_basis(std::string_view name) { return lookup(kBases, name); }
std::optional<LambdaRule> parse_lambda_rule(std::string_view name) { return lookup(kRules, name); }

std::optional<DataPart> parse_data_part(std::string_view name) {
    if (name == "both") return DataPart::Both;
    if (name == "real") return DataPart::Real;
    if (name == "imag") return DataPart::Imaginary;
    return std::nullopt;
}

std::optional<Weighting> parse_weighting(std::string_view name) {
    if (name == "none") return Weighting::None;
    if (name == "modulus") return Weighting::Modulus;
    return std::nullopt;
}

std::string_view basis_name(Basis b) {
    for (const auto& [v, n] : kBases)
        if (v == b) return n;
    return "";
}

std::string_view lambda_rule_name(LambdaRule r) {
    for (const auto& [v, n] : kRules)
        if (v == r) return n;
    return "";
}

std::vector<double> gamma_at(Basis b, double epsilon, const std::vector<double>& tau,
                             const std::vector<double>& coeffs, const std::vector<double>& tau_out) {
    std::vector<double> out(tau_out.size(), 0.0);
    std::vector<double> y(tau.size());
    for (std::size_t j = 0; j < tau.size(); ++j) y[j] = std::log(tau[j]);
    const double reach = support(b) > 0 ? support(b) : std::numeric_limits<double>::infinity();
    const std::size_t count = std::min(tau.size(), coeffs.size());
    // Ascending centres (as a result has them): only those in reach.
    const bool ascending = std::is_sorted(y.begin(), y.begin() + static_cast<std::ptrdiff_t>(count));
    const double span = std::isfinite(reach) && epsilon > 0 ? reach / epsilon : std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < tau_out.size(); ++k) {
        const double yk = std::log(tau_out[k]);
        std::size_t lo = 0, hi = count;
        if (ascending && std::isfinite(span)) {
            const auto first = y.begin(), last = y.begin() + static_cast<std::ptrdiff_t>(count);
            lo = static_cast<std::size_t>(std::lower_bound(first, last, yk - span) - first);
            hi = static_cast<std::size_t>(std::upper_bound(first, last, yk + span) - first);
        }
        double s = 0;
        for (std::size_t j = lo; j < hi; ++j) {
            const double r = epsilon * (yk - y[j]);
            if (coeffs[j] != 0.0 && std::abs(r) < reach) s += coeffs[j] * basis_value(b, r);
        }
        out[k] = s;
    }
    return out;
}

std::optional<Result> compute(const std::vector<double>& f, const std::vector<Cx>& z, const Settings& s, Error& err) {
    if (!validate(f, z, s, err)) return std::nullopt;
    Setup st;
    if (!make_setup(f, z, s, st, err)) return std::nullopt;
    const Problem pr = build(st, s.data != DataPart::Imaginary, s.data != DataPart::Real, s.inductance);
    const Spectral sp(pr);
    Result out;
    out.rule = s.rule;
    out.lambda = s.rule == LambdaRule::Given ? s.lambda : choose_lambda(st, s, pr, sp, out);
    out.score = std::numeric_limits<double>::quiet_NaN();
    if (!out.score_grid.empty()) {
        const double t = std::log10(out.lambda);
        if (s.rule == LambdaRule::LCurve) out.score = lcurve(sp, t);
        else if (s.rule != LambdaRule::ReImCv) out.score = gcv_like(sp, s.rule, out.lambda);
    }
    out.rule_lambda = out.lambda;
    std::vector<double> x;
    if (s.adapt_iterations > 0) {
        // The first weights come from the unconstrained solution; the
        // re-solves keep gamma non-negative unless the DRT is signed.
        x = sp.solve(out.lambda);
        if (s.rule != LambdaRule::Given) out.lambda = std::min(out.lambda * s.adapt_scale, s.lambda_max);
        x = adapt(st, s, pr, sp, std::move(x), out.lambda, out.nnls_iterations);
        if (!s.signed_drt && std::any_of(x.begin(), x.end(), [](double v) { return v < 0; }))
            x = coefficients(pr, sp, out.lambda, false, out.nnls_iterations);  // no re-solve ran
    } else {
        x = coefficients(pr, sp, out.lambda, s.signed_drt, out.nnls_iterations);
    }
    fill_result(st, s, pr, x, out);
    return out;
}

}  // namespace zetrion::drt
