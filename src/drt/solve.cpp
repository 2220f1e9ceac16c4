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

}  // namespace

Spectral::Spectral(const Problem& problem, bool vectors)
    : pr_(problem), rows_(problem.a.rows), p_(problem.p), n_(problem.a.cols - problem.p), vectors_(vectors) {
    thin_qr(pr_.a, p_, q0_, r0_);
    lfac_ = pr_.penalty;
    double top = 0;
    for (std::size_t i = 0; i < n_; ++i) top = std::max(top, lfac_(i, i));
    for (std::size_t i = 0; i < n_; ++i) lfac_(i, i) += 1e-10 * top;  // keeps the factor well defined
    cholesky(lfac_);
    gram_ = gram(pr_.a);
    // The projected normal matrix C = a1^T P a1 and right-hand side a1^T P b,
    // with P the projector off the unpenalised columns.
    Matrix qa(p_, n_);
    std::vector<double> qb(p_, 0.0);
    for (std::size_t k = 0; k < p_; ++k)
        for (std::size_t i = 0; i < rows_; ++i) {
            qb[k] += q0_(i, k) * pr_.b[i];
            for (std::size_t j = 0; j < n_; ++j) qa(k, j) += q0_(i, k) * pr_.a(i, p_ + j);
        }
    Matrix c(n_, n_);
    for (std::size_t i = 0; i < n_; ++i)
        for (std::size_t j = 0; j < n_; ++j) {
            double v = gram_(p_ + i, p_ + j);
            for (std::size_t k = 0; k < p_; ++k) v -= qa(k, i) * qa(k, j);
            c(i, j) = v;
        }
    std::vector<double> rhs = at_times(pr_.a, pr_.b);
    rhs.erase(rhs.begin(), rhs.begin() + static_cast<std::ptrdiff_t>(p_));
    for (std::size_t j = 0; j < n_; ++j)
        for (std::size_t k = 0; k < p_; ++k) rhs[j] -= qa(k, j) * qb[k];
    // G = L^-1 C L^-T = L^-1 (L^-1 C)^T (C and G symmetric).
    forward_solve_rows(lfac_, c);
    for (std::size_t i = 0; i < n_; ++i)
        for (std::size_t j = i + 1; j < n_; ++j) std::swap(c(i, j), c(j, i));
    forward_solve_rows(lfac_, c);
    for (std::size_t i = 0; i < n_; ++i)
        for (std::size_t j = 0; j < i; ++j) c(i, j) = c(j, i) = 0.5 * (c(i, j) + c(j, i));
    g_ = std::move(c);
    forward_solve(lfac_, rhs.data());
    c_ = rhs;
    if (vectors_) {
        symmetric_eigen(g_, sigma_, v_);
        d_.assign(n_, 0.0);
        for (std::size_t k = 0; k < n_; ++k)
            for (std::size_t i = 0; i < n_; ++i) d_[k] += v_(i, k) * rhs[i];
    } else {
        d_ = rhs;
        symmetric_eigen_projected(g_, sigma_, d_);
    }
    const double smax = sigma_.empty() ? 0.0 : std::max(sigma_.back(), 0.0);
    const double floor = 1e-13 * smax;
    for (std::size_t k = 0; k < n_; ++k) {
        sigma_[k] = std::max(sigma_[k], 0.0);
        if (sigma_[k] <= floor) d_[k] = 0;  // a direction the data do not see: part of the residual
    }
    // The part of b no lambda can fit: the residual at a vanishing lambda,
    // less what that lambda itself still leaves of the seen directions.
    const double delta = std::max(floor, 1e-300);
    const std::vector<double> x = solve(delta);
    double r2 = 0;
    for (std::size_t i = 0; i < rows_; ++i) {
        double v = -pr_.b[i];
        for (std::size_t j = 0; j < p_ + n_; ++j) v += pr_.a(i, j) * x[j];
        r2 += v * v;
    }
    for (std::size_t k = 0; k < n_; ++k)
        if (sigma_[k] > 0) {
            const double f = delta / (sigma_[k] + delta);
            r2 -= d_[k] * d_[k] / sigma_[k] * f * f;
        }
    perp2_ = std::max(r2, 0.0);
}

std::vector<double> Spectral::solve(double lambda) const {
    std::vector<double> z(n_, 0.0);
    if (vectors_) {
        for (std::size_t k = 0; k < n_; ++k) {
            const double c = d_[k] / (sigma_[k] + lambda);
            if (c == 0.0) continue;
            for (std::size_t i = 0; i < n_; ++i) z[i] += v_(i, k) * c;
        }
    } else {
        Matrix k = g_;
        for (std::size_t i = 0; i < n_; ++i) k(i, i) += lambda;
        cholesky(k);
        z = c_;
        cholesky_solve(k, z);
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
