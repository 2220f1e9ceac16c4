#include "drt/solve.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zetrion::drt {
namespace {

// Thin QR (modified Gram-Schmidt, twice) of the first p columns of a.
void thin_qr(const Matrix& a, std::size_t p, Matrix& q, Matrix& r) {
    q = Matrix(a.rows, p);
    r = Matrix(p, p);
    for (std::size_t j = 0; j < p; ++j) {
        for (std::size_t i = 0; i < a.rows; ++i) q(i, j) = a(i, j);
        for (int pass = 0; pass < 2; ++pass)
            for (std::size_t k = 0; k < j; ++k) {
                double dot = 0;
                for (std::size_t i = 0; i < a.rows; ++i) dot += q(i, k) * q(i, j);
                r(k, j) += dot;
                for (std::size_t i = 0; i < a.rows; ++i) q(i, j) -= dot * q(i, k);
            }
        double norm = 0;
        for (std::size_t i = 0; i < a.rows; ++i) norm += q(i, j) * q(i, j);
        norm = std::sqrt(norm);
        r(j, j) = norm;
        if (norm > 0)
            for (std::size_t i = 0; i < a.rows; ++i) q(i, j) /= norm;
    }
}

void project_out(const Matrix& q, double* v, std::size_t stride) {
    for (std::size_t k = 0; k < q.cols; ++k) {
        double dot = 0;
        for (std::size_t i = 0; i < q.rows; ++i) dot += q(i, k) * v[i * stride];
        for (std::size_t i = 0; i < q.rows; ++i) v[i * stride] -= dot * q(i, k);
    }
}

}  // namespace

Spectral::Spectral(const Problem& problem)
    : pr_(problem), rows_(problem.a.rows), p_(problem.p), n_(problem.a.cols - problem.p) {
    thin_qr(pr_.a, p_, q0_, r0_);
    lfac_ = pr_.penalty;
    double top = 0;
    for (std::size_t i = 0; i < n_; ++i) top = std::max(top, lfac_(i, i));
    for (std::size_t i = 0; i < n_; ++i) lfac_(i, i) += 1e-10 * top;  // keeps the factor well defined
    cholesky(lfac_);
    // B = P a1 L^-T, row by row; and the projected right-hand side.
    Matrix b(rows_, n_);
    for (std::size_t i = 0; i < rows_; ++i)
        for (std::size_t j = 0; j < n_; ++j) b(i, j) = pr_.a(i, p_ + j);
    for (std::size_t j = 0; j < n_; ++j) project_out(q0_, &b.a[j], n_);
    for (std::size_t i = 0; i < rows_; ++i) forward_solve(lfac_, &b.a[i * n_]);
    std::vector<double> rhs = pr_.b;
    project_out(q0_, rhs.data(), 1);
    const Matrix g = gram(b);
    symmetric_eigen(g, sigma_, v_);
    const std::vector<double> btb = at_times(b, rhs);
    d_.assign(n_, 0.0);
    for (std::size_t k = 0; k < n_; ++k) {
        double s = 0;
        for (std::size_t i = 0; i < n_; ++i) s += v_(i, k) * btb[i];
        d_[k] = s;
    }
    const double smax = sigma_.empty() ? 0.0 : std::max(sigma_.back(), 0.0);
    std::vector<double> y(n_, 0.0);
    for (std::size_t k = 0; k < n_; ++k) {
        if (sigma_[k] <= 1e-13 * smax) {
            sigma_[k] = std::max(sigma_[k], 0.0);
            d_[k] = 0;  // a direction the data do not see: part of the residual
            continue;
        }
        const double c = d_[k] / sigma_[k];
        for (std::size_t i = 0; i < n_; ++i) y[i] += v_(i, k) * c;
    }
    perp2_ = 0;
    for (std::size_t i = 0; i < rows_; ++i) {
        double s = rhs[i];
        for (std::size_t j = 0; j < n_; ++j) s -= b(i, j) * y[j];
        perp2_ += s * s;
    }
}

std::vector<double> Spectral::solve(double lambda) const {
    std::vector<double> z(n_, 0.0);
    for (std::size_t k = 0; k < n_; ++k) {
        const double c = d_[k] / (sigma_[k] + lambda);
        if (c == 0.0) continue;
        for (std::size_t i = 0; i < n_; ++i) z[i] += v_(i, k) * c;
    }
    backward_solve(lfac_, z.data());  // x1 = L^-T z
    std::vector<double> x(p_ + n_, 0.0);
    for (std::size_t j = 0; j < n_; ++j) x[p_ + j] = z[j];
    if (p_ == 0) return x;
    // x0 = R0^-1 Q0^T (b - a1 x1)
    std::vector<double> res(rows_);
    for (std::size_t i = 0; i < rows_; ++i) {
        double s = pr_.b[i];
        for (std::size_t j = 0; j < n_; ++j) s -= pr_.a(i, p_ + j) * z[j];
        res[i] = s;
    }
    std::vector<double> qt(p_, 0.0);
    for (std::size_t k = 0; k < p_; ++k)
        for (std::size_t i = 0; i < rows_; ++i) qt[k] += q0_(i, k) * res[i];
    for (std::size_t k = p_; k-- > 0;) {
        double s = qt[k];
        for (std::size_t j = k + 1; j < p_; ++j) s -= r0_(k, j) * x[j];
        x[k] = r0_(k, k) > 0 ? s / r0_(k, k) : 0.0;
    }
    return x;
}

double Spectral::residual2(double lambda) const {
    double s = perp2_;
    for (std::size_t k = 0; k < n_; ++k) {
        if (sigma_[k] <= 0) continue;
        const double f = lambda / (sigma_[k] + lambda);
        s += d_[k] * d_[k] / sigma_[k] * f * f;
    }
    return s;
}

double Spectral::seminorm2(double lambda) const {
    double s = 0;
    for (std::size_t k = 0; k < n_; ++k) {
        const double c = d_[k] / (sigma_[k] + lambda);
        s += c * c;
    }
    return s;
}

double Spectral::trace(double lambda) const {
    double t = static_cast<double>(p_);
    for (double s : sigma_) t += s / (s + lambda);
    return t;
}

double Spectral::trace2(double lambda) const {
    double t = static_cast<double>(p_);
    for (double s : sigma_) {
        const double f = s / (s + lambda);
        t += f * f;
    }
    return t;
}

double minimise_log(const std::function<double(double)>& crit, double lo, double hi, std::vector<double>& grid,
                    std::vector<double>& scores) {
    const auto steps = static_cast<std::size_t>(std::ceil((hi - lo) / 0.1 - 1e-9));
    grid.clear();
    scores.clear();
    std::size_t best = 0;
    for (std::size_t i = 0; i <= steps; ++i) {
        const double t = std::min(hi, lo + 0.1 * static_cast<double>(i));
        const double v = crit(t);
        grid.push_back(t);
        scores.push_back(std::isfinite(v) ? v : std::numeric_limits<double>::infinity());
        if (scores.back() < scores[best]) best = i;
    }
    double a = std::max(lo, grid[best] - 0.1), b = std::min(hi, grid[best] + 0.1);
    const double r = 0.5 * (std::sqrt(5.0) - 1);
    double c = b - r * (b - a), d = a + r * (b - a);
    double fc = crit(c), fd = crit(d);
    for (int it = 0; it < 30 && b - a > 1e-4; ++it) {
        if (fc < fd) {
            b = d;
            d = c;
            fd = fc;
            c = b - r * (b - a);
            fc = crit(c);
        } else {
            a = c;
            c = d;
            fc = fd;
            d = a + r * (b - a);
            fd = crit(d);
        }
    }
    const double t = fc < fd ? c : d;
    const double ft = std::min(fc, fd);
    return ft <= scores[best] ? t : grid[best];
}

}  // namespace zetrion::drt
