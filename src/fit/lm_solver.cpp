#include "fit/lm_solver.hpp"
#include "fit/test_hooks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace zetrion {
namespace {

constexpr double kEpsmch = 2.220446049250313e-16;
constexpr double kDwarf = 2.2250738585072014e-308;
constexpr double kRdwarf = 1.4916681462400413e-154;
constexpr double kRgiant = 1.3407807929942596e154;

// Column-major matrix view.
struct Mat {
    double* a;
    std::size_t ld;
    double& operator()(std::size_t i, std::size_t j) const { return a[i + j * ld]; }
};

double enorm_strided(const double* v, std::size_t n) {
    double s1 = 0, s2 = 0, s3 = 0, x1max = 0, x3max = 0;
    const double agiant = kRgiant / static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double xabs = std::fabs(v[i]);
        if (xabs > kRdwarf && xabs < agiant) {
            s2 += xabs * xabs;
        } else if (xabs <= kRdwarf) {
            if (xabs > x3max) {
                const double r = x3max / xabs;
                s3 = 1.0 + s3 * r * r;
                x3max = xabs;
            } else if (xabs != 0.0) {
                const double r = xabs / x3max;
                s3 += r * r;
            }
        } else {
            if (xabs > x1max) {
                const double r = x1max / xabs;
                s1 = 1.0 + s1 * r * r;
                x1max = xabs;
            } else {
                const double r = xabs / x1max;
                s1 += r * r;
            }
        }
    }
    if (s1 != 0.0) return x1max * std::sqrt(s1 + (s2 / x1max) / x1max);
    if (s2 != 0.0) {
        if (s2 >= x3max) return std::sqrt(s2 * (1.0 + (x3max / s2) * (x3max * s3)));
        return std::sqrt(x3max * ((s2 / x3max) + (x3max * s3)));
    }
    return x3max * std::sqrt(s3);
}

// QR factorisation with column pivoting by Householder transformations.
// On return the strict upper triangle of `a` holds R (diagonal in rdiag),
// the lower trapezoid the Householder vectors; acnorm holds the norms of the
// original columns; ipvt the permutation.
void qrfac(std::size_t m, std::size_t n, Mat a, std::vector<std::size_t>& ipvt, std::vector<double>& rdiag,
           std::vector<double>& acnorm, std::vector<double>& wa) {
    for (std::size_t j = 0; j < n; ++j) {
        acnorm[j] = enorm_strided(&a(0, j), m);
        rdiag[j] = acnorm[j];
        wa[j] = rdiag[j];
        ipvt[j] = j;
    }
    const std::size_t minmn = std::min(m, n);
    for (std::size_t j = 0; j < minmn; ++j) {
        std::size_t kmax = j;
        for (std::size_t k = j; k < n; ++k)
            if (rdiag[k] > rdiag[kmax]) kmax = k;
        if (kmax != j) {
            for (std::size_t i = 0; i < m; ++i) std::swap(a(i, j), a(i, kmax));
            rdiag[kmax] = rdiag[j];
            wa[kmax] = wa[j];
            std::swap(ipvt[j], ipvt[kmax]);
        }
        double ajnorm = enorm_strided(&a(j, j), m - j);
        if (ajnorm != 0.0) {
            if (a(j, j) < 0.0) ajnorm = -ajnorm;
            for (std::size_t i = j; i < m; ++i) a(i, j) /= ajnorm;
            a(j, j) += 1.0;
            for (std::size_t k = j + 1; k < n; ++k) {
                double sum = 0.0;
                for (std::size_t i = j; i < m; ++i) sum += a(i, j) * a(i, k);
                const double temp = sum / a(j, j);
                for (std::size_t i = j; i < m; ++i) a(i, k) -= temp * a(i, j);
                if (rdiag[k] != 0.0) {
                    const double t = a(j, k) / rdiag[k];
                    rdiag[k] *= std::sqrt(std::max(0.0, 1.0 - t * t));
                    const double r = rdiag[k] / wa[k];
                    if (0.05 * r * r <= kEpsmch) {
                        rdiag[k] = j + 1 < m ? enorm_strided(&a(j + 1, k), m - j - 1) : 0.0;
                        wa[k] = rdiag[k];
                    }
                }
            }
        }
        rdiag[j] = -ajnorm;
    }
}

// Solves min |(A; D) x - (b; 0)| given the QR factorisation of A P, with
// Givens rotations folding D in. r holds R in its upper triangle on entry;
// its strict lower triangle and sdiag receive the triangular factor S.
void qrsolv(std::size_t n, Mat r, const std::vector<std::size_t>& ipvt, const std::vector<double>& diag,
            const std::vector<double>& qtb, std::vector<double>& x, std::vector<double>& sdiag,
            std::vector<double>& wa) {
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t i = j; i < n; ++i) r(i, j) = r(j, i);
        x[j] = r(j, j);
        wa[j] = qtb[j];
    }
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t l = ipvt[j];
        if (diag[l] != 0.0) {
            for (std::size_t k = j; k < n; ++k) sdiag[k] = 0.0;
            sdiag[j] = diag[l];
            double qtbpj = 0.0;
            for (std::size_t k = j; k < n; ++k) {
                if (sdiag[k] == 0.0) continue;
                double sin, cos;
                if (std::fabs(r(k, k)) < std::fabs(sdiag[k])) {
                    const double cotan = r(k, k) / sdiag[k];
                    sin = 0.5 / std::sqrt(0.25 + 0.25 * cotan * cotan);
                    cos = sin * cotan;
                } else {
                    const double tan = sdiag[k] / r(k, k);
                    cos = 0.5 / std::sqrt(0.25 + 0.25 * tan * tan);
                    sin = cos * tan;
                }
                r(k, k) = cos * r(k, k) + sin * sdiag[k];
                const double temp = cos * wa[k] + sin * qtbpj;
                qtbpj = -sin * wa[k] + cos * qtbpj;
                wa[k] = temp;
                for (std::size_t i = k + 1; i < n; ++i) {
                    const double t = cos * r(i, k) + sin * sdiag[i];
                    sdiag[i] = -sin * r(i, k) + cos * sdiag[i];
                    r(i, k) = t;
                }
            }
        }
        sdiag[j] = r(j, j);
        r(j, j) = x[j];
    }
    std::size_t nsing = n;
    for (std::size_t j = 0; j < n; ++j) {
        if (sdiag[j] == 0.0 && nsing == n) nsing = j;
        if (nsing < n) wa[j] = 0.0;
    }
    for (std::size_t k = 1; k <= nsing; ++k) {
        const std::size_t j = nsing - k;
        double sum = 0.0;
        for (std::size_t i = j + 1; i < nsing; ++i) sum += r(i, j) * wa[i];
        wa[j] = (wa[j] - sum) / sdiag[j];
    }
    for (std::size_t j = 0; j < n; ++j) x[ipvt[j]] = wa[j];
}

// Determines the Levenberg-Marquardt parameter par such that the step x
// solving (J^T J + par D^T D) x = -J^T f satisfies |D x| ~ delta (within 10 %),
// or par = 0 when the Gauss-Newton step is already inside the region.
void lmpar(std::size_t n, Mat r, const std::vector<std::size_t>& ipvt, const std::vector<double>& diag,
           const std::vector<double>& qtb, double delta, double& par, std::vector<double>& x,
           std::vector<double>& sdiag, std::vector<double>& wa1, std::vector<double>& wa2) {
    std::size_t nsing = n;
    for (std::size_t j = 0; j < n; ++j) {
        wa1[j] = qtb[j];
        if (r(j, j) == 0.0 && nsing == n) nsing = j;
        if (nsing < n) wa1[j] = 0.0;
    }
    for (std::size_t k = 1; k <= nsing; ++k) {
        const std::size_t j = nsing - k;
        wa1[j] /= r(j, j);
        const double temp = wa1[j];
        for (std::size_t i = 0; i < j; ++i) wa1[i] -= r(i, j) * temp;
    }
    for (std::size_t j = 0; j < n; ++j) x[ipvt[j]] = wa1[j];

    int iter = 0;
    for (std::size_t j = 0; j < n; ++j) wa2[j] = diag[j] * x[j];
    double dxnorm = enorm_strided(wa2.data(), n);
    double fp = dxnorm - delta;
    if (fp <= 0.1 * delta) {
        par = 0.0;
        return;
    }
    double parl = 0.0;
    if (nsing >= n) {
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t l = ipvt[j];
            wa1[j] = diag[l] * (wa2[l] / dxnorm);
        }
        for (std::size_t j = 0; j < n; ++j) {
            double sum = 0.0;
            for (std::size_t i = 0; i < j; ++i) sum += r(i, j) * wa1[i];
            wa1[j] = (wa1[j] - sum) / r(j, j);
        }
        const double temp = enorm_strided(wa1.data(), n);
        parl = ((fp / delta) / temp) / temp;
    }
    for (std::size_t j = 0; j < n; ++j) {
        double sum = 0.0;
        for (std::size_t i = 0; i <= j; ++i) sum += r(i, j) * qtb[i];
        wa1[j] = sum / diag[ipvt[j]];
    }
    const double gnorm = enorm_strided(wa1.data(), n);
    double paru = gnorm / delta;
    if (paru == 0.0) paru = kDwarf / std::min(delta, 0.1);
    par = std::max(par, parl);
    par = std::min(par, paru);
    if (par == 0.0) par = gnorm / dxnorm;

    for (;;) {
        ++iter;
        if (par == 0.0) par = std::max(kDwarf, 0.001 * paru);
        const double sp = std::sqrt(par);
        for (std::size_t j = 0; j < n; ++j) wa1[j] = sp * diag[j];
        qrsolv(n, r, ipvt, wa1, qtb, x, sdiag, wa2);
        for (std::size_t j = 0; j < n; ++j) wa2[j] = diag[j] * x[j];
        dxnorm = enorm_strided(wa2.data(), n);
        const double temp = fp;
        fp = dxnorm - delta;
        if (std::fabs(fp) <= 0.1 * delta || (parl == 0.0 && fp <= temp && temp < 0.0) || iter == 10) return;
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t l = ipvt[j];
            wa1[j] = diag[l] * (wa2[l] / dxnorm);
        }
        for (std::size_t j = 0; j < n; ++j) {
            wa1[j] /= sdiag[j];
            const double t = wa1[j];
            for (std::size_t i = j + 1; i < n; ++i) wa1[i] -= r(i, j) * t;
        }
        const double tn = enorm_strided(wa1.data(), n);
        const double parc = ((fp / delta) / tn) / tn;
        if (fp > 0.0) parl = std::max(parl, par);
        if (fp < 0.0) paru = std::min(paru, par);
        par = std::max(parl, par + parc);
    }
}

bool all_finite(const std::vector<double>& v) {
    return std::all_of(v.begin(), v.end(), [](double d) { return std::isfinite(d); });
}

// One run of the solver, along MINPACK's lmder: at each outer iteration the
// Jacobian is factorised, then trial steps are taken until one is accepted
// (or a stop test ends the run). Work arrays are named by their role.
class LmRun {
public:
    LmRun(LmFunction& f, std::vector<double>& x, const LmSettings& s)
        : f_(f), x_(x), s_(s), n_(x.size()), m_(f.residual_count()),
          // The factorisation needs at least n rows; extra zero rows change nothing.
          rows_(std::max(m_, n_)),
          maxfev_(static_cast<std::size_t>(std::max<std::uint32_t>(s.patience, 1)) * (n_ + 1)),
          r_(rows_, 0.0), jac_storage_(rows_ * n_, 0.0), jac_{jac_storage_.data(), rows_}, scale_(n_, 0.0),
          qtr_(n_, 0.0), rdiag_(n_), col_norms_(n_), qr_work_(n_), qt_work_(rows_, 0.0), step_(n_), sdiag_(n_),
          par_work1_(n_), par_work2_(rows_, 0.0), trial_x_(n_), scaled_step_(n_), trial_r_(rows_, 0.0),
          jstep_(n_), scaled_x_(n_), ipvt_(n_) {}

    LmReport run() {
        f_.residuals(x_, r_.data());
        rep_.evaluations = 1;
        fnorm_ = enorm_strided(r_.data(), m_);
        if (!std::isfinite(fnorm_)) return stop(LmStop::NonFinite);
        if (fnorm_ == 0.0) return stop(LmStop::ResidualsZero);
        for (;;) {
            if (cancel_requested(s_.cancel)) return rep_;  // as if out of patience
            if (!jacobian_at_x()) return stop(LmStop::NonFinite);
            factorize();
            const double gnorm = gradient_norm();
            if (gnorm <= s_.gtol) return stop(LmStop::Orthogonal);
            for (std::size_t j = 0; j < n_; ++j) scale_[j] = std::max(scale_[j], col_norms_[j]);
            for (;;) {
                bool accepted = false;
                if (auto done = trial_step(gnorm, accepted)) return stop(*done);
                if (accepted) break;
            }
        }
    }

private:
    LmReport stop(LmStop why) {
        rep_.stop = why;
        return rep_;
    }

    bool jacobian_at_x() {
        if (rows_ > m_) {
            // The function writes m-row columns; spread them over the padded rows.
            std::vector<double> packed(m_ * n_);
            f_.jacobian(x_, packed.data());
            for (std::size_t j = 0; j < n_; ++j)
                for (std::size_t i = 0; i < rows_; ++i) jac_(i, j) = i < m_ ? packed[i + j * m_] : 0.0;
        } else {
            f_.jacobian(x_, jac_storage_.data());
        }
        ++rep_.jacobians;
        return all_finite(jac_storage_);
    }

    // QR factorisation of the Jacobian; on the first iteration the column
    // scaling and the trust-region radius; qtr = first n components of Q^T r,
    // and the diagonal of R back in place.
    void factorize() {
        qrfac(rows_, n_, jac_, ipvt_, rdiag_, col_norms_, qr_work_);
        if (first_) {
            for (std::size_t j = 0; j < n_; ++j) {
                scale_[j] = col_norms_[j] == 0.0 ? 1.0 : col_norms_[j];
                scaled_x_[j] = scale_[j] * x_[j];
            }
            xnorm_ = enorm_strided(scaled_x_.data(), n_);
            delta_ = s_.factor * xnorm_;
            if (delta_ == 0.0) delta_ = s_.factor;
        }
        for (std::size_t i = 0; i < rows_; ++i) qt_work_[i] = r_[i];
        for (std::size_t j = 0; j < n_; ++j) {
            if (jac_(j, j) != 0.0) {
                double sum = 0.0;
                for (std::size_t i = j; i < rows_; ++i) sum += jac_(i, j) * qt_work_[i];
                const double temp = -sum / jac_(j, j);
                for (std::size_t i = j; i < rows_; ++i) qt_work_[i] += jac_(i, j) * temp;
            }
            jac_(j, j) = rdiag_[j];
            qtr_[j] = qt_work_[j];
        }
    }

    // Scaled gradient norm: the largest cosine between r and a column of J.
    double gradient_norm() const {
        double gnorm = 0.0;
        for (std::size_t j = 0; j < n_; ++j) {
            const std::size_t l = ipvt_[j];
            if (col_norms_[l] != 0.0) {
                double sum = 0.0;
                for (std::size_t i = 0; i <= j; ++i) sum += jac_(i, j) * (qtr_[i] / fnorm_);
                gnorm = std::max(gnorm, std::fabs(sum / col_norms_[l]));
            }
        }
        return gnorm;
    }

    // One trial step: the Levenberg-Marquardt subproblem, an evaluation at
    // x + step, the radius update, acceptance, and the stop tests. Sets
    // `accepted` when x moved; returns why the run stops, if it does.
    std::optional<LmStop> trial_step(double gnorm, bool& accepted) {
        lmpar(n_, jac_, ipvt_, scale_, qtr_, delta_, par_, step_, sdiag_, par_work1_, par_work2_);
        for (std::size_t j = 0; j < n_; ++j) {
            step_[j] = -step_[j];
            trial_x_[j] = x_[j] + step_[j];
            scaled_step_[j] = scale_[j] * step_[j];
        }
        const double pnorm = enorm_strided(scaled_step_.data(), n_);
        if (!std::isfinite(pnorm)) return LmStop::NonFinite;
        if (first_) delta_ = std::min(delta_, pnorm);

        f_.residuals(trial_x_, trial_r_.data());
        ++rep_.evaluations;
        for (std::size_t i = m_; i < rows_; ++i) trial_r_[i] = 0.0;
        const double fnorm1 = enorm_strided(trial_r_.data(), m_);

        double actred = -1.0;
        if (0.1 * fnorm1 < fnorm_) {
            const double t = fnorm1 / fnorm_;
            actred = 1.0 - t * t;
        }
        // Predicted reduction and directional derivative of the step.
        for (std::size_t j = 0; j < n_; ++j) {
            jstep_[j] = 0.0;
            const double temp = step_[ipvt_[j]];
            for (std::size_t i = 0; i <= j; ++i) jstep_[i] += jac_(i, j) * temp;
        }
        const double temp1 = enorm_strided(jstep_.data(), n_) / fnorm_;
        const double temp2 = (std::sqrt(par_) * pnorm) / fnorm_;
        const double prered = temp1 * temp1 + temp2 * temp2 / 0.5;
        const double dirder = -(temp1 * temp1 + temp2 * temp2);
        double ratio = 0.0;
        if (prered != 0.0) ratio = actred / prered;
        if (!std::isfinite(prered) || std::isnan(ratio)) return LmStop::NonFinite;

        update_radius(ratio, actred, dirder, fnorm1, pnorm);
        if (ratio >= 1e-4) {
            for (std::size_t j = 0; j < n_; ++j) {
                x_[j] = trial_x_[j];
                scaled_x_[j] = scale_[j] * x_[j];
            }
            for (std::size_t i = 0; i < m_; ++i) r_[i] = trial_r_[i];
            xnorm_ = enorm_strided(scaled_x_.data(), n_);
            fnorm_ = fnorm1;
            first_ = false;
            accepted = true;
        }
        return stop_test(actred, prered, ratio, gnorm);
    }

    void update_radius(double ratio, double actred, double dirder, double fnorm1, double pnorm) {
        if (ratio <= 0.25) {
            double temp = actred >= 0.0 ? 0.5 : 0.5 * dirder / (dirder + 0.5 * actred);
            if (0.1 * fnorm1 >= fnorm_ || temp < 0.1) temp = 0.1;
            delta_ = temp * std::min(delta_, pnorm / 0.1);
            par_ /= temp;
        } else if (par_ == 0.0 || ratio >= 0.75) {
            delta_ = pnorm / 0.5;
            par_ *= 0.5;
        }
    }

    std::optional<LmStop> stop_test(double actred, double prered, double ratio, double gnorm) const {
        const bool ftol_ok = std::fabs(actred) <= s_.ftol && prered <= s_.ftol && 0.5 * ratio <= 1.0;
        const bool xtol_ok = delta_ <= s_.xtol * xnorm_;
        if (ftol_ok || xtol_ok) return ftol_ok && xtol_ok ? LmStop::FtolAndXtol : ftol_ok ? LmStop::Ftol : LmStop::Xtol;
        // As in MINPACK, a later test overrides an earlier one.
        std::optional<LmStop> why;
        if (rep_.evaluations >= maxfev_) why = LmStop::LostPatience;
        if (std::fabs(actred) <= kEpsmch && prered <= kEpsmch && 0.5 * ratio <= 1.0) why = LmStop::NoImprovementFtol;
        if (delta_ <= kEpsmch * xnorm_) why = LmStop::NoImprovementXtol;
        if (gnorm <= kEpsmch) why = LmStop::NoImprovementGtol;
        return why;
    }

    LmFunction& f_;
    std::vector<double>& x_;
    const LmSettings& s_;
    const std::size_t n_, m_, rows_, maxfev_;
    LmReport rep_{LmStop::LostPatience, 0, 0};

    std::vector<double> r_;            // residuals at x (padded with zero rows)
    std::vector<double> jac_storage_;  // Jacobian, then its QR factors
    Mat jac_;
    std::vector<double> scale_;        // column scaling (MINPACK's diag)
    std::vector<double> qtr_;          // first n components of Q^T r
    std::vector<double> rdiag_, col_norms_, qr_work_;  // qrfac: diagonal of R, column norms of J
    std::vector<double> qt_work_;      // r being transformed into Q^T r
    std::vector<double> step_;         // the subproblem's step (lmpar's x)
    std::vector<double> sdiag_, par_work1_, par_work2_;  // lmpar's work
    std::vector<double> trial_x_;      // x + step
    std::vector<double> scaled_step_;  // scale * step
    std::vector<double> trial_r_;      // residuals at x + step
    std::vector<double> jstep_;        // R times the permuted step
    std::vector<double> scaled_x_;     // scale * x
    std::vector<std::size_t> ipvt_;

    double fnorm_ = 0.0, par_ = 0.0, delta_ = 0.0, xnorm_ = 0.0;
    bool first_ = true;
};

}  // namespace

double enorm(std::span<const double> v) { return enorm_strided(v.data(), v.size()); }

LmReport lm_minimize(LmFunction& f, std::vector<double>& x, const LmSettings& s) { return LmRun(f, x, s).run(); }

}  // namespace zetrion
