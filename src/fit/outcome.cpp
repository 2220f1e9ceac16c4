#include "fit/outcome.hpp"

#include <algorithm>
#include <cmath>

#include "circuit/evaluate.hpp"
#include "circuit/params.hpp"
#include "circuit/text.hpp"
#include "fit/method.hpp"

namespace zetrion {

std::string FitError::message() const {
    switch (kind) {
        case Kind::LengthMismatch: return "frequencies and impedances must have the same length";
        case Kind::EmptySpectrum: return "frequencies and impedances must not be empty";
        case Kind::NoParameters: return "circuit topology has no parameters to fit";
        case Kind::Solver: return "solver error: " + text;
        case Kind::Cancelled: return "fit cancelled";
        case Kind::InvalidLimits: return "a parameter range is empty or outside the element's bounds, or a held value lies outside its range";
        case Kind::UnknownMethod:
        {
            std::string s = "unknown fit method " + quoted(text) + ", expected one of ";
            for (std::size_t i = 0; i < kFitMethods.size(); ++i) s += (i ? ", " : "") + quoted(kFitMethods[i].second);
            return s;
        }
    }
    return {};
}

FitData::FitData(const SeriesList& t, std::span<const double> f_hz, std::span<const Cx> zz, Weighting w)
    : tree(t), z(zz), weights(compute_weights(zz, w)), bounds(param_bounds(t)), start(param_values(t)) {
    omega.resize(f_hz.size());
    for (std::size_t i = 0; i < f_hz.size(); ++i) omega[i] = kTwoPi * f_hz[i];
    log_omega.resize(omega.size());
    for (std::size_t i = 0; i < omega.size(); ++i) log_omega[i] = std::log(omega[i]);
    n = std::min(bounds.size(), start.size());
    limits = bounds;
    fixed.assign(n, false);
}

std::size_t FitData::free_count() const {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) k += fixed[i] ? 0 : 1;
    return k;
}

bool FitData::restrict(std::span<const Bounds> user_limits, const std::vector<bool>& held) {
    if (user_limits.size() != n || held.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        const Bounds& u = user_limits[i];
        const Bounds& b = bounds[i];
        if (std::isnan(u.lo) || std::isnan(u.hi) || !(u.lo < u.hi)) return false;
        const Bounds both{std::max(u.lo, b.lo), std::min(u.hi, b.hi)};
        if (!(both.lo < both.hi)) return false;
        if (held[i] && !(start[i] >= both.lo && start[i] <= both.hi)) return false;
        limits[i] = both;
    }
    fixed = held;
    return true;
}

std::optional<FitError> check_inputs(const SeriesList& tree, std::size_t n_freq, std::size_t n_z) {
    if (n_freq != n_z) return FitError{FitError::Kind::LengthMismatch, {}};
    if (n_freq == 0) return FitError{FitError::Kind::EmptySpectrum, {}};
    if (param_count(tree) == 0) return FitError{FitError::Kind::NoParameters, {}};
    return std::nullopt;
}

double cost_at(const FitData& d, std::span<const double> p, EvalCounter& counter) {
    return ResidualEvaluator(d.tree, d.spectrum()).cost(p, counter);
}

std::optional<std::vector<double>> invert(std::vector<double> a, std::size_t n) {
    std::vector<double> inv(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) inv[i * n + i] = 1.0;
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t piv = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::fabs(a[r * n + c]) > std::fabs(a[piv * n + c])) piv = r;
        if (a[piv * n + c] == 0.0) return std::nullopt;
        if (piv != c) {
            for (std::size_t k = 0; k < n; ++k) {
                std::swap(a[piv * n + k], a[c * n + k]);
                std::swap(inv[piv * n + k], inv[c * n + k]);
            }
        }
        const double d = a[c * n + c];
        for (std::size_t r = 0; r < n; ++r) {
            if (r == c) continue;
            const double f = a[r * n + c] / d;
            if (f == 0.0) continue;
            for (std::size_t k = 0; k < n; ++k) {
                a[r * n + k] -= f * a[c * n + k];
                inv[r * n + k] -= f * inv[c * n + k];
            }
        }
        for (std::size_t k = 0; k < n; ++k) {
            a[c * n + k] /= d;
            inv[c * n + k] /= d;
        }
    }
    return inv;
}

namespace {

// Eigen-decomposition of the symmetric k x k row-major matrix a by cyclic
// Jacobi rotations: a ends diagonal (the eigenvalues), v holds the
// eigenvectors as columns. Small, dense and exact to rounding, which is all
// a parameter count of a circuit needs.
void jacobi_eigen(std::vector<double>& a, std::size_t k, std::vector<double>& v) {
    v.assign(k * k, 0.0);
    for (std::size_t i = 0; i < k; ++i) v[i * k + i] = 1.0;
    for (int sweep = 0; sweep < 60; ++sweep) {
        double off = 0.0;
        for (std::size_t p = 0; p < k; ++p)
            for (std::size_t q = p + 1; q < k; ++q) off += a[p * k + q] * a[p * k + q];
        if (!(off > 1e-300)) return;
        for (std::size_t p = 0; p < k; ++p)
            for (std::size_t q = p + 1; q < k; ++q) {
                const double apq = a[p * k + q];
                if (apq == 0.0) continue;
                const double theta = (a[q * k + q] - a[p * k + p]) / (2.0 * apq);
                const double t = std::copysign(1.0, theta) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (std::size_t r = 0; r < k; ++r) {
                    const double arp = a[r * k + p], arq = a[r * k + q];
                    a[r * k + p] = c * arp - s * arq;
                    a[r * k + q] = s * arp + c * arq;
                }
                for (std::size_t r = 0; r < k; ++r) {
                    const double apr = a[p * k + r], aqr = a[q * k + r];
                    a[p * k + r] = c * apr - s * aqr;
                    a[q * k + r] = s * apr + c * aqr;
                }
                for (std::size_t r = 0; r < k; ++r) {
                    const double vrp = v[r * k + p], vrq = v[r * k + q];
                    v[r * k + p] = c * vrp - s * vrq;
                    v[r * k + q] = s * vrp + c * vrq;
                }
            }
    }
}

}  // namespace

std::vector<std::vector<double>> undetermined_combinations(const std::vector<double>& jtj, std::size_t k,
                                                           double ratio) {
    std::vector<std::vector<double>> out;
    std::vector<std::size_t> live;
    std::vector<double> norm(k, 0.0);
    for (std::size_t i = 0; i < k; ++i) {
        norm[i] = std::sqrt(jtj[i * k + i]);
        if (!std::isfinite(norm[i])) return {};
        if (norm[i] > 0.0) {
            live.push_back(i);
        } else {
            out.emplace_back(k, 0.0);
            out.back()[i] = 1.0;
        }
    }
    const std::size_t l = live.size();
    if (l == 0) return out;
    std::vector<double> a(l * l), v;
    for (std::size_t i = 0; i < l; ++i)
        for (std::size_t j = 0; j < l; ++j)
            a[i * l + j] = jtj[live[i] * k + live[j]] / (norm[live[i]] * norm[live[j]]);
    jacobi_eigen(a, l, v);
    double top = 0.0;
    for (std::size_t i = 0; i < l; ++i) top = std::max(top, a[i * l + i]);
    for (std::size_t e = 0; e < l; ++e) {
        if (!(a[e * l + e] <= ratio * ratio * top)) continue;
        std::vector<double> combo(k, 0.0);
        std::size_t lead = 0;
        for (std::size_t i = 0; i < l; ++i) {
            combo[live[i]] = v[i * l + e];
            if (std::fabs(v[i * l + e]) > std::fabs(v[lead * l + e])) lead = i;
        }
        // Signed so that the largest weight is positive: one answer per input.
        if (v[lead * l + e] < 0.0)
            for (double& c : combo) c = -c;
        out.push_back(std::move(combo));
    }
    return out;
}

FitOutcome build_outcome(const FitData& d, std::vector<double> p, bool success, std::uint64_t iterations,
                         EvalCounter& counter) {
    const std::size_t n = std::min(d.n, p.size());
    for (std::size_t i = 0; i < n; ++i) p[i] = std::clamp(p[i], d.limits[i].lo, d.limits[i].hi);

    FitOutcome out;
    out.cost = cost_at(d, p, counter);
    out.chi_square = out.cost + out.cost;

    const std::size_t m = d.residual_count();
    std::vector<double> jac(p.size() * m);
    jacobian_columns(d.tree, p, d.spectrum(), counter, jac.data());
    // Statistics over the free parameters only: a held one is no estimate.
    std::vector<std::size_t> free;
    for (std::size_t i = 0; i < p.size(); ++i)
        if (i >= n || !d.fixed[i]) free.push_back(i);
    const std::size_t k = free.size();
    const double dof = static_cast<double>(m) - static_cast<double>(k);
    if (dof > 0.0 && k > 0) {
        std::vector<double> a(k * k, 0.0);
        for (std::size_t i = 0; i < k; ++i)
            for (std::size_t j = 0; j < k; ++j) {
                const double* ci = jac.data() + free[i] * m;
                const double* cj = jac.data() + free[j] * m;
                double s = 0.0;
                for (std::size_t r = 0; r < m; ++r) s += ci[r] * cj[r];
                a[i * k + j] = s;
            }
        if (d.diagnose) out.undetermined = undetermined_combinations(a, k, kUndeterminedRatio);
        if (auto inv = invert(std::move(a), k)) {
            const double s2 = out.chi_square / dof;
            std::vector<double> se(p.size(), 0.0);
            for (std::size_t i = 0; i < k; ++i) se[free[i]] = std::sqrt(s2 * (*inv)[i * k + i]);
            for (double& v : *inv) v *= s2;
            out.stderr_ = std::move(se);
            out.covariance = std::move(*inv);
        }
    }
    out.circuit = rebuild(d.tree, p);
    out.param_names = param_names(d.tree);
    out.params = std::move(p);
    out.iterations = iterations;
    out.success = success;
    out.impedance_evals = counter.load();
    return out;
}

}  // namespace zetrion
