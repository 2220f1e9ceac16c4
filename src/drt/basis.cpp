#include "drt/basis.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace zetrion::drt {
namespace {

// Beyond this |s| (in ln tau) a basis is not integrated, as in DRTtools.
constexpr double kTailLimit = 50.0;

}  // namespace

// |r| beyond which phi(r) is below 1e-16 (0 for the heavy-tailed bases:
// integrate to kTailLimit).
double support(Basis b) {
    switch (b) {
        case Basis::Gaussian: return 6.1;
        case Basis::C0Matern: return 37.0;
        case Basis::C2Matern: return 41.0;
        case Basis::C4Matern: return 45.0;
        case Basis::C6Matern: return 48.0;
        case Basis::PiecewiseLinear: return 1.0;
        default: return 0.0;
    }
}

namespace {

// Cubic (four-point Lagrange) interpolation of a table sampled at
// t0 + k h.
double interpolate(const std::vector<double>& table, double t0, double h, double t) {
    const double pos = (t - t0) / h;
    const auto last = static_cast<double>(table.size() - 1);
    if (pos <= 0) return table.front();
    if (pos >= last) return table.back();
    auto k = static_cast<std::ptrdiff_t>(pos);
    k = std::clamp<std::ptrdiff_t>(k - 1, 0, static_cast<std::ptrdiff_t>(table.size()) - 4);
    const double u = pos - static_cast<double>(k);  // in [0, 3]
    const double p0 = table[static_cast<std::size_t>(k)], p1 = table[static_cast<std::size_t>(k) + 1],
                 p2 = table[static_cast<std::size_t>(k) + 2], p3 = table[static_cast<std::size_t>(k) + 3];
    const double a = u - 1, b = u - 2, c = u - 3;
    return -p0 * a * b * c / 6 + p1 * u * b * c / 2 - p2 * u * a * c / 2 + p3 * u * a * b / 6;
}

// How far (in ln) a point may sit from an even lattice and still be taken
// on it: far below what the kernel tables resolve.
constexpr double kEvenTolerance = 1e-9;

// Whether v lies on an evenly spaced lattice; its step (signed) if so.
bool evenly_spaced(const std::vector<double>& v, double& step) {
    if (v.size() < 2) return false;
    step = (v.back() - v.front()) / static_cast<double>(v.size() - 1);
    for (std::size_t i = 0; i < v.size(); ++i)
        if (!(std::abs(v[i] - (v.front() + static_cast<double>(i) * step)) <= kEvenTolerance)) return false;
    return true;
}

struct Tables {
    double t0 = 0, h = 0;
    std::vector<double> re, im;
};

// g(u) = integral phi(eps s) K(u + s) ds for the real and imaginary
// kernels K_re(x) = 1 / (1 + e^2x), K_im(x) = -e^x / (1 + e^2x), on a
// lattice covering [u_lo, u_hi]; trapezoidal sums on the same lattice.
Tables kernel_tables(Basis b, double eps, double u_lo, double u_hi) {
    Tables t;
    t.h = std::min(0.04, 0.15 / eps);
    const double reach = support(b) > 0 ? std::min(kTailLimit, support(b) / eps) : kTailLimit;
    const auto half = static_cast<std::ptrdiff_t>(std::ceil(reach / t.h));
    const auto count = static_cast<std::size_t>(std::ceil((u_hi - u_lo) / t.h)) + 5;
    t.t0 = u_lo - 2 * t.h;
    std::vector<double> phi(static_cast<std::size_t>(2 * half + 1));
    for (std::ptrdiff_t j = -half; j <= half; ++j)
        phi[static_cast<std::size_t>(j + half)] = basis_value(b, eps * static_cast<double>(j) * t.h) * t.h;
    const std::size_t klen = count + static_cast<std::size_t>(2 * half);
    std::vector<double> kre(klen), kim(klen);
    for (std::size_t k = 0; k < klen; ++k) {
        const double x = t.t0 + (static_cast<double>(k) - static_cast<double>(half)) * t.h;
        if (x > 0) {
            const double e = std::exp(-x);
            kre[k] = e * e / (1 + e * e);
            kim[k] = -e / (1 + e * e);
        } else {
            const double e = std::exp(x);
            kre[k] = 1 / (1 + e * e);
            kim[k] = -e / (1 + e * e);
        }
    }
    t.re.assign(count, 0.0);
    t.im.assign(count, 0.0);
    // The sums run over the basis samples in the outer loop, so that the
    // inner one updates the whole table at once.
    for (std::size_t j = 0; j < phi.size(); ++j) {
        const double pj = phi[j];
        const double* kr = &kre[j];
        const double* ki = &kim[j];
        for (std::size_t i = 0; i < count; ++i) {
            t.re[i] += pj * kr[i];
            t.im[i] += pj * ki[i];
        }
    }
    return t;
}

constexpr double kStep = 1e-3;  // of the central differences below

// The k-th derivative of phi at r by central differences of step kStep,
// given phi(r). For the Gaussian the differences are summed in closed form,
// e^{-(r +- h)^2} = e^{-r^2} e^{-h^2} e^{-+2rh}, with the small hyperbolic
// terms as series: one exponential instead of three, and no cancellation.
double derivative_from(Basis b, int k, double r, double phi) {
    const double fd = kStep;
    if (b == Basis::Gaussian) {
        const double x = 2 * r * fd, x2 = x * x;
        static const double damp_m1 = std::expm1(-fd * fd), damp = 1 + damp_m1;
        if (std::abs(x) < 0.05) {
            if (k == 1) return -phi * damp * x * (1 + x2 / 6 * (1 + x2 / 20 * (1 + x2 / 42))) / fd;
            const double cosh_m1 = x2 / 2 * (1 + x2 / 12 * (1 + x2 / 30 * (1 + x2 / 56)));
            return phi * 2 * (damp_m1 + damp * cosh_m1) / (fd * fd);
        }
    }
    if (k == 1) return (basis_value(b, r + fd) - basis_value(b, r - fd)) / (2 * fd);
    return (basis_value(b, r + fd) - 2 * phi + basis_value(b, r - fd)) / (fd * fd);
}

// c(d) = integral of the k-th derivatives of phi(eps s) and phi(eps (s - d))
// over s, tabulated for d in [0, d_hi].
Tables penalty_table(Basis b, double eps, int k, double d_hi) {
    Tables t;
    const double hr = support(b) > 0 && b != Basis::PiecewiseLinear ? 0.05 : 0.02;  // lattice step in r = eps s
    t.h = hr / eps;
    t.t0 = 0;
    const double reach = support(b) > 0 ? support(b) + 1 : kTailLimit * eps;
    const auto half = static_cast<std::ptrdiff_t>(std::ceil(reach / hr));
    std::vector<double> dphi(static_cast<std::size_t>(2 * half + 1));
    for (std::ptrdiff_t j = -half; j <= half; ++j) {
        const double r = static_cast<double>(j) * hr;
        dphi[static_cast<std::size_t>(j + half)] = derivative_from(b, k, r, basis_value(b, r));
    }
    // Beyond twice the reach the two derivatives no longer overlap.
    const double d_max = std::min(d_hi, 2 * reach / eps);
    const auto count = static_cast<std::size_t>(std::ceil(d_max / t.h)) + 5;
    t.re.assign(count, 0.0);
    const double scale = std::pow(eps, 2 * k) * t.h;
    // t[i] = sum_m dphi[m] dphi[m + i], summed over m outside, so that
    // the inner loop updates the whole table at once.
    const std::size_t n = dphi.size();
    for (std::size_t m = 0; m < n; ++m) {
        const double am = dphi[m];
        const double* shifted = &dphi[m];
        const std::size_t top = std::min(count, n - m);
        for (std::size_t i = 0; i < top; ++i) t.re[i] += am * shifted[i];
    }
    for (double& v : t.re) v *= scale;
    return t;
}

// The piecewise-linear basis: gamma is linear between centres, and its
// derivatives are the finite differences of the coefficients.
Matrix difference_penalty(const std::vector<double>& y, int k, const std::vector<double>& weights = {}) {
    const std::size_t n = y.size();
    Matrix m(n, n);
    if (n < static_cast<std::size_t>(k) + 1) return m;
    for (std::size_t i = 0; i + static_cast<std::size_t>(k) < n; ++i) {
        std::vector<double> row(n, 0.0);
        if (k == 1) {
            const double w = 1 / (y[i + 1] - y[i]);
            row[i] = -w;
            row[i + 1] = w;
        } else {
            const double h0 = y[i + 1] - y[i], h1 = y[i + 2] - y[i + 1];
            row[i] = 2 / (h0 * (h0 + h1));
            row[i + 1] = -2 / (h0 * h1);
            row[i + 2] = 2 / (h1 * (h0 + h1));
        }
        double len = k == 1 ? y[i + 1] - y[i] : 0.5 * (y[i + 2] - y[i]);
        if (!weights.empty()) len *= weights[i + static_cast<std::size_t>(k) / 2];
        for (std::size_t a = 0; a < n; ++a)
            if (row[a] != 0.0)
                for (std::size_t c = 0; c < n; ++c) m(a, c) += row[a] * row[c] * len;
    }
    return m;
}

// (1 + floor) / (|g| / max |g| + floor) for each value of g.
std::vector<double> amplitude_weights(const std::vector<double>& g, double floor) {
    double top = 0;
    for (double v : g) top = std::max(top, std::abs(v));
    std::vector<double> w(g.size(), 1.0);
    if (!(top > 0)) return w;
    for (std::size_t i = 0; i < g.size(); ++i) w[i] = (1 + floor) / (std::abs(g[i]) / top + floor);
    return w;
}

}  // namespace

PenaltyLattice penalty_lattice(Basis b, double eps, int derivative, const std::vector<double>& y) {
    PenaltyLattice lat;
    lat.basis = b;
    lat.derivative = derivative;
    lat.y = y;
    if (b == Basis::PiecewiseLinear) return lat;  // weighted differences instead
    const std::size_t n = y.size();
    const double spacing = n > 1 ? (y.back() - y.front()) / static_cast<double>(n - 1) : 1.0;
    lat.h = 0.25 * spacing;
    const double reach = support(b) > 0 ? support(b) / eps : 25.0 / eps;  // in ln tau
    const auto count = static_cast<std::size_t>(std::ceil((y.back() - y.front() + 2 * reach) / lat.h)) + 1;
    const double y0 = y.front() - reach, scale = std::pow(eps, derivative);
    lat.lo.resize(count);
    lat.hi.resize(count);
    lat.start.resize(count);
    // Evenly spaced centres sit four lattice steps apart, so that the pair
    // (row l, centre j) depends on l - 4 j alone: each value is found once.
    double step = 0;
    const bool even = evenly_spaced(y, step);
    const std::size_t shift = 4 * (n - 1);
    std::vector<double> memo_phi(even ? count + shift : 0, std::numeric_limits<double>::quiet_NaN());
    std::vector<double> memo_d(memo_phi.size());
    for (std::size_t l = 0; l < count; ++l) {
        const double yl = y0 + static_cast<double>(l) * lat.h;
        lat.lo[l] = static_cast<std::size_t>(std::lower_bound(y.begin(), y.end(), yl - reach) - y.begin());
        lat.hi[l] = static_cast<std::size_t>(std::upper_bound(y.begin(), y.end(), yl + reach) - y.begin());
        lat.start[l] = lat.d.size();
        for (std::size_t j = lat.lo[l]; j < lat.hi[l]; ++j) {
            const std::size_t q = l + shift - 4 * j;
            if (even && !std::isnan(memo_phi[q])) {
                lat.d.push_back(memo_d[q]);
                lat.phi.push_back(memo_phi[q]);
                continue;
            }
            const double r = eps * (yl - y[j]);
            const double phi = basis_value(b, r);
            lat.d.push_back(scale * derivative_from(b, derivative, r, phi));
            lat.phi.push_back(phi);
            if (even) {
                memo_d[q] = lat.d.back();
                memo_phi[q] = phi;
            }
        }
    }
    return lat;
}

Matrix weighted_penalty(const PenaltyLattice& lat, const std::vector<double>& coeffs, double floor) {
    if (lat.basis == Basis::PiecewiseLinear)
        return difference_penalty(lat.y, lat.derivative, amplitude_weights(coeffs, floor));
    const std::size_t count = lat.lo.size(), n = lat.y.size();
    std::vector<double> g(count, 0.0);
    for (std::size_t l = 0; l < count; ++l)
        for (std::size_t j = lat.lo[l]; j < lat.hi[l]; ++j) g[l] += coeffs[j] * lat.phi[lat.start[l] + j - lat.lo[l]];
    const std::vector<double> w = amplitude_weights(g, floor);
    Matrix m(n, n);
    for (std::size_t l = 0; l < count; ++l) {
        const double* d = &lat.d[lat.start[l]];
        const double wl = w[l] * lat.h;
        for (std::size_t i = lat.lo[l]; i < lat.hi[l]; ++i) {
            const double di = wl * d[i - lat.lo[l]];
            double* row = &m.a[i * n];
            for (std::size_t j = lat.lo[l]; j <= i; ++j) row[j] += di * d[j - lat.lo[l]];
        }
    }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j) m(j, i) = m(i, j);
    return m;
}

double half_width(Basis b) {
    double lo = 0, hi = 1;
    while (basis_value(b, hi) > 0.5) hi *= 2;
    for (int i = 0; i < 200 && hi - lo > 1e-15 * hi; ++i) {
        const double mid = 0.5 * (lo + hi);
        (basis_value(b, mid) > 0.5 ? lo : hi) = mid;
    }
    return 0.5 * (lo + hi);
}

double shape_factor(Basis b, double fwhm_coeff, double spacing) {
    if (b == Basis::PiecewiseLinear) return 1.0 / spacing;
    return fwhm_coeff * 2 * half_width(b) / spacing;
}

double basis_value(Basis b, double r) {
    const double a = std::abs(r);
    switch (b) {
        case Basis::Gaussian: return std::exp(-r * r);
        case Basis::C0Matern: return std::exp(-a);
        case Basis::C2Matern: return std::exp(-a) * (1 + a);
        case Basis::C4Matern: return std::exp(-a) * (3 + 3 * a + a * a) / 3;
        case Basis::C6Matern: return std::exp(-a) * (15 + 15 * a + 6 * a * a + a * a * a) / 15;
        case Basis::InverseQuadratic: return 1 / (1 + r * r);
        case Basis::InverseQuadric: return 1 / std::sqrt(1 + r * r);
        case Basis::Cauchy: return 1 / (1 + a);
        case Basis::PiecewiseLinear: return a < 1 ? 1 - a : 0.0;
    }
    return 0.0;
}

double basis_area(Basis b, double eps, double) {
    if (b == Basis::Gaussian) return std::sqrt(std::numbers::pi) / eps;
    const double reach = support(b) > 0 ? std::min(kTailLimit, support(b) / eps) : kTailLimit;
    const double h = std::min(0.002, 0.01 / eps);
    const auto n = static_cast<std::ptrdiff_t>(std::ceil(reach / h));
    double s = 0;
    for (std::ptrdiff_t j = -n; j <= n; ++j) s += basis_value(b, eps * static_cast<double>(j) * h);
    return s * h;
}

Discretisation discretise(Basis b, double eps, int derivative, const std::vector<double>& y,
                          const std::vector<double>& log_omega) {
    const auto [wlo, whi] = std::minmax_element(log_omega.begin(), log_omega.end());
    const Tables k = kernel_tables(b, eps, *wlo + y.front(), *whi + y.back());
    Discretisation d;
    d.re = Matrix(log_omega.size(), y.size());
    d.im = Matrix(log_omega.size(), y.size());
    // Both tables share their lattice: one set of cubic weights per entry.
    const double inv_h = 1 / k.h;
    const auto top = static_cast<std::ptrdiff_t>(k.re.size()) - 4;
    const double last = static_cast<double>(k.re.size() - 1);
    const auto kernel = [&](double at, double& re_out, double& im_out) {
        const double pos = (at - k.t0) * inv_h;
        if (!(pos > 0) || pos >= last) {
            const bool low = !(pos > 0);
            re_out = low ? k.re.front() : k.re.back();
            im_out = low ? k.im.front() : k.im.back();
            return;
        }
        const auto j = static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(pos) - 1, 0, top));
        const double u = pos - static_cast<double>(j);  // in [0, 3]
        const double a = u - 1, b = u - 2, c = u - 3;
        const double w0 = -a * b * c / 6, w1 = u * b * c / 2, w2 = -u * a * c / 2, w3 = u * a * b / 6;
        const double* re = &k.re[j];
        const double* im = &k.im[j];
        re_out = w0 * re[0] + w1 * re[1] + w2 * re[2] + w3 * re[3];
        im_out = w0 * im[0] + w1 * im[1] + w2 * im[2] + w3 * im[3];
    };
    // A sweep evenly spaced in log frequency, with centres evenly spaced in
    // ln tau at a whole fraction of its step (as most sweeps and every
    // `density` give), has u = ln w_m + y_n = u_00 + (r m + n) h_y: few
    // distinct values, each interpolated once.
    const std::size_t rows = log_omega.size(), cols = y.size();
    double hw = 0, hy = 0;
    long long ratio = 0;
    if (evenly_spaced(log_omega, hw) && evenly_spaced(y, hy) && hy > 0) {
        ratio = std::llround(hw / hy);
        if (ratio == 0 || std::abs(hw - static_cast<double>(ratio) * hy) * static_cast<double>(rows) > kEvenTolerance)
            ratio = 0;
    }
    if (ratio != 0) {
        const long long span = ratio * static_cast<long long>(rows - 1);
        const long long q0 = std::min(0LL, span), q1 = std::max(0LL, span) + static_cast<long long>(cols) - 1;
        std::vector<double> vre(static_cast<std::size_t>(q1 - q0 + 1)), vim(vre.size());
        for (long long q = q0; q <= q1; ++q)
            kernel(log_omega[0] + y[0] + static_cast<double>(q) * hy, vre[static_cast<std::size_t>(q - q0)],
                   vim[static_cast<std::size_t>(q - q0)]);
        for (std::size_t m = 0; m < rows; ++m) {
            const auto base = static_cast<std::size_t>(ratio * static_cast<long long>(m) - q0);
            std::copy_n(&vre[base], cols, &d.re.a[m * cols]);
            std::copy_n(&vim[base], cols, &d.im.a[m * cols]);
        }
    } else {
        for (std::size_t m = 0; m < rows; ++m)
            for (std::size_t n = 0; n < cols; ++n) kernel(log_omega[m] + y[n], d.re(m, n), d.im(m, n));
    }
    if (b == Basis::PiecewiseLinear) {
        d.penalty = difference_penalty(y, derivative);
        return d;
    }
    const Tables p = penalty_table(b, eps, derivative, y.back() - y.front());
    d.penalty = Matrix(cols, cols);
    const double reach = p.h * static_cast<double>(p.re.size() - 1);
    const auto entry = [&](double gap) { return gap < reach ? interpolate(p.re, 0.0, p.h, gap) : 0.0; };
    // Evenly spaced centres: the penalty depends on j - i alone.
    if (evenly_spaced(y, hy)) {
        std::vector<double> band;
        for (std::size_t k = 0; k < cols && y[k] - y[0] < reach; ++k) band.push_back(entry(y[k] - y[0]));
        for (std::size_t i = 0; i < cols; ++i)
            for (std::size_t j = i; j < cols && j - i < band.size(); ++j) d.penalty(i, j) = d.penalty(j, i) = band[j - i];
        return d;
    }
    for (std::size_t i = 0; i < cols; ++i)
        for (std::size_t j = i; j < cols; ++j) d.penalty(i, j) = d.penalty(j, i) = entry(y[j] - y[i]);
    return d;
}

}  // namespace zetrion::drt
