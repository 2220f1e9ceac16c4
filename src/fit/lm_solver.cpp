#include "fit/lm_solver.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

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

}  // namespace

double enorm(std::span<const double> v) { return enorm_strided(v.data(), v.size()); }

LmReport lm_minimize(LmFunction& f, std::vector<double>& x, const LmSettings& s) {
    const std::size_t n = x.size();
    const std::size_t m = f.residual_count();
    const std::size_t maxfev = static_cast<std::size_t>(std::max<std::uint32_t>(s.patience, 1)) * (n + 1);
    // The factorisation needs at least n rows; extra zero rows change nothing.
    const std::size_t rows = std::max(m, n);

    LmReport rep{LmStop::LostPatience, 0, 0};
    std::vector<double> fvec(rows, 0.0), fjac(rows * n, 0.0), diag(n, 0.0), qtf(n, 0.0);
    std::vector<double> wa1(n), wa2(n), wa3(n), wa4(rows, 0.0);
    std::vector<std::size_t> ipvt(n);
    const Mat jac{fjac.data(), rows};

    f.residuals(x, fvec.data());
    rep.evaluations = 1;
    double fnorm = enorm_strided(fvec.data(), m);
    if (!std::isfinite(fnorm)) {
        rep.stop = LmStop::NonFinite;
        return rep;
    }
    if (fnorm == 0.0) {
        rep.stop = LmStop::ResidualsZero;
        return rep;
    }

    double par = 0.0, delta = 0.0, xnorm = 0.0;
    bool first = true;
    for (;;) {
        if (cancel_requested(s.cancel)) return rep;  // as if out of patience
        if (rows > m) {
            // The function writes m-row columns; spread them over the padded rows.
            std::vector<double> packed(m * n);
            f.jacobian(x, packed.data());
            for (std::size_t j = 0; j < n; ++j)
                for (std::size_t i = 0; i < rows; ++i) jac(i, j) = i < m ? packed[i + j * m] : 0.0;
        } else {
            f.jacobian(x, fjac.data());
        }
        ++rep.jacobians;
        if (!all_finite(fjac)) {
            rep.stop = LmStop::NonFinite;
            return rep;
        }
        qrfac(rows, n, jac, ipvt, wa1, wa2, wa3);

        if (first) {
            for (std::size_t j = 0; j < n; ++j) {
                diag[j] = wa2[j] == 0.0 ? 1.0 : wa2[j];
                wa3[j] = diag[j] * x[j];
            }
            xnorm = enorm_strided(wa3.data(), n);
            delta = s.factor * xnorm;
            if (delta == 0.0) delta = s.factor;
        }

        // qtf = first n components of Q^T fvec; the diagonal of R goes back in place.
        for (std::size_t i = 0; i < rows; ++i) wa4[i] = fvec[i];
        for (std::size_t j = 0; j < n; ++j) {
            if (jac(j, j) != 0.0) {
                double sum = 0.0;
                for (std::size_t i = j; i < rows; ++i) sum += jac(i, j) * wa4[i];
                const double temp = -sum / jac(j, j);
                for (std::size_t i = j; i < rows; ++i) wa4[i] += jac(i, j) * temp;
            }
            jac(j, j) = wa1[j];
            qtf[j] = wa4[j];
        }

        // Scaled gradient norm: the largest cosine between f and a column of J.
        double gnorm = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t l = ipvt[j];
            if (wa2[l] != 0.0) {
                double sum = 0.0;
                for (std::size_t i = 0; i <= j; ++i) sum += jac(i, j) * (qtf[i] / fnorm);
                gnorm = std::max(gnorm, std::fabs(sum / wa2[l]));
            }
        }
        if (gnorm <= s.gtol) {
            rep.stop = LmStop::Orthogonal;
            return rep;
        }
        for (std::size_t j = 0; j < n; ++j) diag[j] = std::max(diag[j], wa2[j]);

        for (;;) {
            lmpar(n, jac, ipvt, diag, qtf, delta, par, wa1, wa2, wa3, wa4);
            for (std::size_t j = 0; j < n; ++j) {
                wa1[j] = -wa1[j];
                wa2[j] = x[j] + wa1[j];
                wa3[j] = diag[j] * wa1[j];
            }
            const double pnorm = enorm_strided(wa3.data(), n);
            if (!std::isfinite(pnorm)) {
                rep.stop = LmStop::NonFinite;
                return rep;
            }
            if (first) delta = std::min(delta, pnorm);

            f.residuals(wa2, wa4.data());
            ++rep.evaluations;
            for (std::size_t i = m; i < rows; ++i) wa4[i] = 0.0;
            const double fnorm1 = enorm_strided(wa4.data(), m);

            double actred = -1.0;
            if (0.1 * fnorm1 < fnorm) {
                const double t = fnorm1 / fnorm;
                actred = 1.0 - t * t;
            }
            // Predicted reduction and directional derivative of the step.
            for (std::size_t j = 0; j < n; ++j) {
                wa3[j] = 0.0;
                const double temp = wa1[ipvt[j]];
                for (std::size_t i = 0; i <= j; ++i) wa3[i] += jac(i, j) * temp;
            }
            const double temp1 = enorm_strided(wa3.data(), n) / fnorm;
            const double temp2 = (std::sqrt(par) * pnorm) / fnorm;
            const double prered = temp1 * temp1 + temp2 * temp2 / 0.5;
            const double dirder = -(temp1 * temp1 + temp2 * temp2);
            double ratio = 0.0;
            if (prered != 0.0) ratio = actred / prered;
            if (!std::isfinite(prered) || std::isnan(ratio)) {
                rep.stop = LmStop::NonFinite;
                return rep;
            }

            if (ratio <= 0.25) {
                double temp = actred >= 0.0 ? 0.5 : 0.5 * dirder / (dirder + 0.5 * actred);
                if (0.1 * fnorm1 >= fnorm || temp < 0.1) temp = 0.1;
                delta = temp * std::min(delta, pnorm / 0.1);
                par /= temp;
            } else if (par == 0.0 || ratio >= 0.75) {
                delta = pnorm / 0.5;
                par *= 0.5;
            }

            if (ratio >= 1e-4) {
                for (std::size_t j = 0; j < n; ++j) {
                    x[j] = wa2[j];
                    wa2[j] = diag[j] * x[j];
                }
                for (std::size_t i = 0; i < m; ++i) fvec[i] = wa4[i];
                xnorm = enorm_strided(wa2.data(), n);
                fnorm = fnorm1;
                first = false;
            }

            const bool ftol_ok = std::fabs(actred) <= s.ftol && prered <= s.ftol && 0.5 * ratio <= 1.0;
            const bool xtol_ok = delta <= s.xtol * xnorm;
            if (ftol_ok || xtol_ok) {
                rep.stop = ftol_ok && xtol_ok ? LmStop::FtolAndXtol : ftol_ok ? LmStop::Ftol : LmStop::Xtol;
                return rep;
            }
            // As in MINPACK, a later test overrides an earlier one.
            bool stop = false;
            if (rep.evaluations >= maxfev) stop = true, rep.stop = LmStop::LostPatience;
            if (std::fabs(actred) <= kEpsmch && prered <= kEpsmch && 0.5 * ratio <= 1.0)
                stop = true, rep.stop = LmStop::NoImprovementFtol;
            if (delta <= kEpsmch * xnorm) stop = true, rep.stop = LmStop::NoImprovementXtol;
            if (gnorm <= kEpsmch) stop = true, rep.stop = LmStop::NoImprovementGtol;
            if (stop) return rep;
            if (ratio >= 1e-4) break;
        }
    }
}

}  // namespace zetrion
