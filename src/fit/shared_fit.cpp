#include "fit/shared_fit.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <optional>

#include "circuit/params.hpp"
#include "fit/levenberg_marquardt.hpp"

namespace zetrion {
namespace {

constexpr double kLn10 = 2.302585092994046;
constexpr double kEpsmch = 2.220446049250313e-16;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMaxDecades = 1.0;  // the longest step of a log-space parameter

// ---- small dense row-major matrices --------------------------------------

// Cholesky factor of the symmetric positive definite k x k matrix a, in
// place (lower triangle); false when a pivot is not positive.
bool cholesky(std::vector<double>& a, std::size_t k) {
    for (std::size_t j = 0; j < k; ++j) {
        double d = a[j * k + j];
        for (std::size_t p = 0; p < j; ++p) d -= a[j * k + p] * a[j * k + p];
        if (!(d > 0.0) || !std::isfinite(d)) return false;
        d = std::sqrt(d);
        a[j * k + j] = d;
        for (std::size_t i = j + 1; i < k; ++i) {
            double s = a[i * k + j];
            for (std::size_t p = 0; p < j; ++p) s -= a[i * k + p] * a[j * k + p];
            a[i * k + j] = s / d;
        }
    }
    return true;
}

// Solves L L^T y = b in place.
void cholesky_solve(const std::vector<double>& l, std::size_t k, double* b) {
    for (std::size_t i = 0; i < k; ++i) {
        double s = b[i];
        for (std::size_t p = 0; p < i; ++p) s -= l[i * k + p] * b[p];
        b[i] = s / l[i * k + i];
    }
    for (std::size_t ii = k; ii-- > 0;) {
        double s = b[ii];
        for (std::size_t p = ii + 1; p < k; ++p) s -= l[p * k + ii] * b[p];
        b[ii] = s / l[ii * k + ii];
    }
}

// ---- the problem ---------------------------------------------------------

// Which parameters are unknowns, and where they sit in the vector x.
struct Layout {
    std::vector<std::size_t> shared, block;  // parameter indices, in order
    std::size_t spectra = 0;
    std::size_t ks() const { return shared.size(); }
    std::size_t kb() const { return block.size(); }
    std::size_t offset(std::size_t i) const { return ks() + i * kb(); }
    std::size_t unknowns() const { return ks() + spectra * kb(); }
};

// J^T J and J^T r of the stacked problem, block by block.
struct Normal {
    std::vector<double> a, gs;                // shared corner (ks x ks), shared gradient
    std::vector<std::vector<double>> b, c, gb;  // per spectrum: ks x kb, kb x kb, kb
    double cost = 0.0;
};

double solver_value(double v, const Bounds& b) {
    return is_closed(b) ? v : std::log10(std::max(v - b.lo, 1e-300));
}

double physical_value(double x, const Bounds& b) { return is_closed(b) ? x : b.lo + std::pow(10.0, x); }

class SeriesProblem {
public:
    SeriesProblem(const SharedFitRequest& req, Layout layout, std::vector<Bounds> limits)
        : req_(req), layout_(std::move(layout)), bounds_(param_bounds(*req.circuit)), limits_(std::move(limits)),
          n_(bounds_.size()) {
        for (const SeriesSpectrum& s : req.spectra) {
            FitData& d = data_.emplace_back(*req.circuit, s.frequencies, s.impedances, req.weighting);
            if (!s.point_weights.empty()) d.weights = s.point_weights;
        }
        evaluators_.reserve(data_.size());
        for (const FitData& d : data_) evaluators_.emplace_back(d.tree, d.spectrum());
    }

    const Layout& layout() const { return layout_; }
    std::size_t residuals() const {
        std::size_t m = 0;
        for (const FitData& d : data_) m += d.residual_count();
        return m;
    }

    // The starting point: blocks from each spectrum's start, shared values
    // the median over the series.
    std::vector<double> start() const {
        std::vector<double> x(layout_.unknowns());
        std::vector<double> column(layout_.spectra);
        for (std::size_t s = 0; s < layout_.ks(); ++s) {
            const std::size_t j = layout_.shared[s];
            for (std::size_t i = 0; i < layout_.spectra; ++i) column[i] = to_x(req_.starts[i][j], j);
            std::sort(column.begin(), column.end());
            const std::size_t h = column.size() / 2;
            x[s] = column.size() % 2 ? column[h] : 0.5 * (column[h - 1] + column[h]);
        }
        for (std::size_t i = 0; i < layout_.spectra; ++i)
            for (std::size_t k = 0; k < layout_.kb(); ++k)
                x[layout_.offset(i) + k] = to_x(req_.starts[i][layout_.block[k]], layout_.block[k]);
        return project(x);
    }

    // x with every parameter cut back into its range.
    std::vector<double> project(std::vector<double> x) const {
        for (std::size_t s = 0; s < layout_.ks(); ++s) x[s] = to_x(to_v(x[s], layout_.shared[s]), layout_.shared[s]);
        for (std::size_t i = 0; i < layout_.spectra; ++i)
            for (std::size_t k = 0; k < layout_.kb(); ++k) {
                double& v = x[layout_.offset(i) + k];
                v = to_x(to_v(v, layout_.block[k]), layout_.block[k]);
            }
        return x;
    }

    // Every parameter of spectrum i at x (held ones at their start).
    void params_of(const std::vector<double>& x, std::size_t i, std::vector<double>& p) const {
        p.assign(req_.starts[i].begin(), req_.starts[i].end());
        for (std::size_t s = 0; s < layout_.ks(); ++s) p[layout_.shared[s]] = to_v(x[s], layout_.shared[s]);
        for (std::size_t k = 0; k < layout_.kb(); ++k)
            p[layout_.block[k]] = to_v(x[layout_.offset(i) + k], layout_.block[k]);
    }

    // 0.5 |r|^2 over the series; each spectrum's chi-square into chi when given.
    double cost(const std::vector<double>& x, std::vector<double>* chi = nullptr) {
        double total = 0.0;
        for (std::size_t i = 0; i < layout_.spectra; ++i) {
            params_of(x, i, p_);
            const double c = evaluators_[i].cost(p_, counter_);
            if (chi) (*chi)[i] = 2.0 * c;
            total += c;
        }
        return total;
    }

    // The normal equations at x, with derivatives in solver space or (for
    // the statistics) in the parameters themselves.
    bool normal_equations(const std::vector<double>& x, bool solver_space, Normal& ne);

    // For each unknown: -1 at the lower end of its range, +1 at the upper
    // end, 0 inside (a parameter searched in log space never reaches the
    // lower end of its element's range).
    std::vector<int> ends(const std::vector<double>& x) const {
        std::vector<int> out(x.size(), 0);
        const auto side = [&](double xv, std::size_t j) {
            const double v = to_v(xv, j);
            return v <= limits_[j].lo && (is_closed(bounds_[j]) || limits_[j].lo > bounds_[j].lo) ? -1
                   : v >= limits_[j].hi                                                          ? 1
                                                                                                 : 0;
        };
        for (std::size_t s = 0; s < layout_.ks(); ++s) out[s] = side(x[s], layout_.shared[s]);
        for (std::size_t i = 0; i < layout_.spectra; ++i)
            for (std::size_t k = 0; k < layout_.kb(); ++k)
                out[layout_.offset(i) + k] = side(x[layout_.offset(i) + k], layout_.block[k]);
        return out;
    }

    // Clips a step so that no parameter searched in log space moves by more
    // than kMaxDecades: a direction the data hardly see gets a huge
    // Gauss-Newton step, which would overflow rather than explore.
    void cap(std::vector<double>& delta) const {
        const auto clip = [](double& d, std::size_t j, const std::vector<Bounds>& b) {
            if (!is_closed(b[j])) d = std::clamp(d, -kMaxDecades, kMaxDecades);
        };
        for (std::size_t s = 0; s < layout_.ks(); ++s) clip(delta[s], layout_.shared[s], bounds_);
        for (std::size_t i = 0; i < layout_.spectra; ++i)
            for (std::size_t k = 0; k < layout_.kb(); ++k) clip(delta[layout_.offset(i) + k], layout_.block[k], bounds_);
    }

    std::uint64_t evaluations() const { return counter_.load(); }

private:
    double to_x(double v, std::size_t j) const { return solver_value(v, bounds_[j]); }
    double to_v(double x, std::size_t j) const {
        return std::clamp(physical_value(x, bounds_[j]), limits_[j].lo, limits_[j].hi);
    }

    const SharedFitRequest& req_;
    Layout layout_;
    std::vector<Bounds> bounds_, limits_;
    std::size_t n_;
    std::deque<FitData> data_;  // stable addresses: the evaluators point into them
    std::vector<ResidualEvaluator> evaluators_;
    EvalCounter counter_{0};
    std::vector<double> p_, jac_, r_;
};

bool SeriesProblem::normal_equations(const std::vector<double>& x, bool solver_space, Normal& ne) {
    const std::size_t ks = layout_.ks(), kb = layout_.kb(), S = layout_.spectra;
    ne.a.assign(ks * ks, 0.0);
    ne.gs.assign(ks, 0.0);
    ne.b.resize(S);
    ne.c.resize(S);
    ne.gb.resize(S);
    ne.cost = 0.0;
    std::vector<const double*> cs(ks), cb(kb);
    for (std::size_t i = 0; i < S; ++i) {
        const FitData& d = data_[i];
        const std::size_t m = d.residual_count();
        params_of(x, i, p_);
        jac_.resize(n_ * m);
        r_.resize(m);
        evaluators_[i](p_, counter_, r_.data());
        jacobian_columns(d.tree, p_, d.spectrum(), counter_, jac_.data());
        if (solver_space)
            for (std::size_t j = 0; j < n_; ++j)
                if (!is_closed(bounds_[j])) {
                    const double g = (p_[j] - bounds_[j].lo) * kLn10;
                    for (std::size_t r = 0; r < m; ++r) jac_[j * m + r] *= g;
                }
        for (std::size_t s = 0; s < ks; ++s) cs[s] = jac_.data() + layout_.shared[s] * m;
        for (std::size_t k = 0; k < kb; ++k) cb[k] = jac_.data() + layout_.block[k] * m;
        const auto dot = [m](const double* u, const double* v) {
            double t = 0.0;
            for (std::size_t r = 0; r < m; ++r) t += u[r] * v[r];
            return t;
        };
        for (std::size_t s = 0; s < ks; ++s) {
            for (std::size_t t = 0; t <= s; ++t) ne.a[s * ks + t] += dot(cs[s], cs[t]);
            ne.gs[s] += dot(cs[s], r_.data());
        }
        ne.b[i].assign(ks * kb, 0.0);
        ne.c[i].assign(kb * kb, 0.0);
        ne.gb[i].assign(kb, 0.0);
        for (std::size_t s = 0; s < ks; ++s)
            for (std::size_t k = 0; k < kb; ++k) ne.b[i][s * kb + k] = dot(cs[s], cb[k]);
        for (std::size_t k = 0; k < kb; ++k) {
            for (std::size_t l = 0; l <= k; ++l) ne.c[i][k * kb + l] = ne.c[i][l * kb + k] = dot(cb[k], cb[l]);
            ne.gb[i][k] = dot(cb[k], r_.data());
        }
        ne.cost += 0.5 * dot(r_.data(), r_.data());
    }
    for (std::size_t s = 0; s < ks; ++s)
        for (std::size_t t = 0; t < s; ++t) ne.a[t * ks + s] = ne.a[s * ks + t];
    const auto finite = [](const std::vector<double>& v) {
        return std::all_of(v.begin(), v.end(), [](double d) { return std::isfinite(d); });
    };
    if (!finite(ne.a) || !finite(ne.gs) || !std::isfinite(ne.cost)) return false;
    for (std::size_t i = 0; i < S; ++i)
        if (!finite(ne.b[i]) || !finite(ne.c[i]) || !finite(ne.gb[i])) return false;
    return true;
}

// ---- the damped step -----------------------------------------------------

// The normal equations in the space where each unknown is divided by
// sqrt(scale): J^T J then has a diagonal near 1 whatever the units of the
// parameters, which keeps the factorisations below accurate.
Normal scaled_normal(const Normal& ne, const Layout& L, const std::vector<double>& d) {
    const std::size_t ks = L.ks(), kb = L.kb();
    Normal out = ne;
    for (std::size_t s = 0; s < ks; ++s) {
        out.gs[s] /= d[s];
        for (std::size_t t = 0; t < ks; ++t) out.a[s * ks + t] /= d[s] * d[t];
    }
    for (std::size_t i = 0; i < L.spectra; ++i) {
        const double* db = d.data() + L.offset(i);
        for (std::size_t k = 0; k < kb; ++k) {
            out.gb[i][k] /= db[k];
            for (std::size_t l = 0; l < kb; ++l) out.c[i][k * kb + l] /= db[k] * db[l];
            for (std::size_t s = 0; s < ks; ++s) out.b[i][s * kb + k] /= d[s] * db[k];
        }
    }
    return out;
}

// Solves (H + lambda I) delta = -g for the arrow-shaped H by eliminating the
// blocks; false when a damped matrix is not positive definite.
bool arrow_solve(const Normal& ne, const Layout& L, double lambda, std::vector<double>& delta) {
    const std::size_t ks = L.ks(), kb = L.kb();
    std::vector<double> schur(ne.a), rhs(ks);
    for (std::size_t s = 0; s < ks; ++s) {
        schur[s * ks + s] += lambda;
        rhs[s] = -ne.gs[s];
    }
    std::vector<std::vector<double>> factors(L.spectra);
    std::vector<double> col(kb);
    for (std::size_t i = 0; i < L.spectra; ++i) {
        std::vector<double>& f = factors[i];
        f = ne.c[i];
        for (std::size_t k = 0; k < kb; ++k) f[k * kb + k] += lambda;
        if (!cholesky(f, kb)) return false;
        // S -= B C^-1 B^T and rhs += B C^-1 g_b, one row of B at a time.
        for (std::size_t s = 0; s < ks; ++s) {
            std::copy(ne.b[i].begin() + s * kb, ne.b[i].begin() + (s + 1) * kb, col.begin());
            cholesky_solve(f, kb, col.data());
            for (std::size_t t = 0; t < ks; ++t) {
                double v = 0.0;
                for (std::size_t k = 0; k < kb; ++k) v += ne.b[i][t * kb + k] * col[k];
                schur[t * ks + s] -= v;
            }
            for (std::size_t k = 0; k < kb; ++k) rhs[s] += col[k] * ne.gb[i][k];
        }
    }
    if (ks > 0) {
        if (!cholesky(schur, ks)) return false;
        cholesky_solve(schur, ks, rhs.data());
    }
    delta.assign(L.unknowns(), 0.0);
    std::copy(rhs.begin(), rhs.end(), delta.begin());
    for (std::size_t i = 0; i < L.spectra; ++i) {
        double* db = delta.data() + L.offset(i);
        for (std::size_t k = 0; k < kb; ++k) {
            double v = -ne.gb[i][k];
            for (std::size_t s = 0; s < ks; ++s) v -= ne.b[i][s * kb + k] * rhs[s];
            db[k] = v;
        }
        cholesky_solve(factors[i], kb, db);
    }
    return std::all_of(delta.begin(), delta.end(), [](double v) { return std::isfinite(v); });
}

// The damped step in the unknowns themselves: (H + lambda D) delta = -g
// solved in the scaled space, D = scale.
bool damped_step(const Normal& scaled, const Layout& L, const std::vector<double>& d, double lambda,
                 std::vector<double>& delta) {
    if (!arrow_solve(scaled, L, lambda, delta)) return false;
    for (std::size_t j = 0; j < delta.size(); ++j) delta[j] /= d[j];
    return true;
}

// g . delta + 0.5 delta^T H delta: the change of the cost the local model predicts.
double model_change(const Normal& ne, const Layout& L, const std::vector<double>& d) {
    const std::size_t ks = L.ks(), kb = L.kb();
    double lin = 0.0, quad = 0.0;
    for (std::size_t s = 0; s < ks; ++s) {
        lin += ne.gs[s] * d[s];
        for (std::size_t t = 0; t < ks; ++t) quad += d[s] * ne.a[s * ks + t] * d[t];
    }
    for (std::size_t i = 0; i < L.spectra; ++i) {
        const double* db = d.data() + L.offset(i);
        for (std::size_t k = 0; k < kb; ++k) {
            lin += ne.gb[i][k] * db[k];
            double hb = 0.0;
            for (std::size_t l = 0; l < kb; ++l) hb += ne.c[i][k * kb + l] * db[l];
            for (std::size_t s = 0; s < ks; ++s) hb += 2.0 * ne.b[i][s * kb + k] * d[s];
            quad += db[k] * hb;
        }
    }
    return lin + 0.5 * quad;
}

double scaled_norm(const std::vector<double>& v, const std::vector<double>& scale) {
    double s = 0.0;
    for (std::size_t j = 0; j < v.size(); ++j) s += scale[j] * v[j] * v[j];
    return std::sqrt(s);
}

// Takes the flagged unknowns out of the normal equations: their rows and
// columns of J^T J become those of the identity and their gradient zero, so
// a step leaves them where they are.
void hold_out(Normal& ne, const Layout& L, const std::vector<bool>& out) {
    const std::size_t ks = L.ks(), kb = L.kb();
    for (std::size_t s = 0; s < ks; ++s) {
        if (!out[s]) continue;
        for (std::size_t t = 0; t < ks; ++t) ne.a[s * ks + t] = ne.a[t * ks + s] = 0.0;
        ne.a[s * ks + s] = 1.0;
        ne.gs[s] = 0.0;
        for (std::size_t i = 0; i < L.spectra; ++i)
            for (std::size_t k = 0; k < kb; ++k) ne.b[i][s * kb + k] = 0.0;
    }
    for (std::size_t i = 0; i < L.spectra; ++i)
        for (std::size_t k = 0; k < kb; ++k) {
            if (!out[L.offset(i) + k]) continue;
            for (std::size_t l = 0; l < kb; ++l) ne.c[i][k * kb + l] = ne.c[i][l * kb + k] = 0.0;
            ne.c[i][k * kb + k] = 1.0;
            ne.gb[i][k] = 0.0;
            for (std::size_t s = 0; s < ks; ++s) ne.b[i][s * kb + k] = 0.0;
        }
}

// Holds the unknowns at an end of their range whose descent direction leads
// out of it, so that the stop tests see the gradient projected onto the range.
void freeze_at_ends(Normal& ne, const Layout& L, const std::vector<int>& ends) {
    std::vector<bool> out(L.unknowns(), false);
    const auto outward = [&](std::size_t u, double g) { return (ends[u] < 0 && g > 0.0) || (ends[u] > 0 && g < 0.0); };
    for (std::size_t s = 0; s < L.ks(); ++s) out[s] = outward(s, ne.gs[s]);
    for (std::size_t i = 0; i < L.spectra; ++i)
        for (std::size_t k = 0; k < L.kb(); ++k) out[L.offset(i) + k] = outward(L.offset(i) + k, ne.gb[i][k]);
    hold_out(ne, L, out);
}

// ---- the solver ------------------------------------------------------------

struct SolveReport {
    bool success = false;
    bool cancelled = false;
    std::uint64_t iterations = 0;
    std::string stop;
};

// Levenberg-Marquardt with Marquardt's scaling (the running maximum of the
// diagonal of J^T J) and Nielsen's update of the damping; the stop tests
// are MINPACK's, on the relative reduction of the cost and the step.
class SharedLm {
public:
    SharedLm(SeriesProblem& p, const SharedFitRequest& req) : p_(p), req_(req) {}

    SolveReport run(std::vector<double>& x) {
        SolveReport rep;
        double cost = p_.cost(x);
        if (!std::isfinite(cost)) return finish(rep, false, "the residuals at the start are not finite");
        if (cost == 0.0) return finish(rep, true, "the residuals are zero");
        std::vector<double> scale(x.size(), 0.0), delta;
        double lambda = 1e-3, nu = 2.0;
        Normal ne;
        while (rep.iterations < std::max<std::uint32_t>(req_.max_iterations, 1)) {
            if (cancel_requested(req_.cancel)) {
                rep.cancelled = true;
                return rep;
            }
            if (!p_.normal_equations(x, true, ne)) return finish(rep, false, "a Jacobian is not finite");
            ++rep.iterations;
            cost = ne.cost;
            freeze_at_ends(ne, p_.layout(), p_.ends(x));
            update_scale(ne, scale);
            if (gradient_small(ne, scale, cost)) return finish(rep, true, "the gradient vanishes (gtol)");
            std::vector<double> root(scale.size());
            for (std::size_t j = 0; j < scale.size(); ++j) root[j] = std::sqrt(scale[j]);
            const Normal scaled = scaled_normal(ne, p_.layout(), root);
            for (;;) {
                if (!damped_step(scaled, p_.layout(), root, lambda, delta)) {
                    if (!grow(lambda, nu)) return finish(rep, false, "no damping makes the step well defined");
                    continue;
                }
                p_.cap(delta);
                std::vector<double> trial(x.size());
                for (std::size_t j = 0; j < x.size(); ++j) trial[j] = x[j] + delta[j];
                trial = p_.project(std::move(trial));
                for (std::size_t j = 0; j < x.size(); ++j) delta[j] = trial[j] - x[j];
                const double predicted = -model_change(ne, p_.layout(), delta);
                const double trial_cost = p_.cost(trial);
                const double actual = std::isfinite(trial_cost) ? cost - trial_cost : -INFINITY;
                const double rho = predicted > 0.0 ? actual / predicted : (actual > 0.0 ? 1.0 : -1.0);
                const bool accept = rho > 1e-4;
                const double step = scaled_norm(delta, scale), size = scaled_norm(x, scale);
                if (accept) {
                    x = std::move(trial);
                    lambda *= std::max(1.0 / 3.0, 1.0 - std::pow(2.0 * rho - 1.0, 3));
                    nu = 2.0;
                }
                if (std::fabs(actual) <= req_.ftol * cost && predicted <= req_.ftol * cost && rho <= 2.0)
                    return finish(rep, true, "the relative reduction of the cost is at most ftol");
                if (accept && step <= req_.xtol * (size + req_.xtol))
                    return finish(rep, true, "the relative change of the parameters is at most xtol");
                if (accept) break;
                if (!grow(lambda, nu)) return finish(rep, false, "no step lowers the cost");
            }
        }
        return finish(rep, false, "the iteration budget is spent");
    }

private:
    static SolveReport finish(SolveReport& rep, bool success, const char* why) {
        rep.success = success;
        rep.stop = why;
        return rep;
    }

    static bool grow(double& lambda, double& nu) {
        lambda *= nu;
        nu *= 2.0;
        return lambda < 1e32 && std::isfinite(nu);
    }

    void update_scale(const Normal& ne, std::vector<double>& scale) const {
        const Layout& L = p_.layout();
        for (std::size_t s = 0; s < L.ks(); ++s) scale[s] = std::max(scale[s], ne.a[s * L.ks() + s]);
        for (std::size_t i = 0; i < L.spectra; ++i)
            for (std::size_t k = 0; k < L.kb(); ++k)
                scale[L.offset(i) + k] = std::max(scale[L.offset(i) + k], ne.c[i][k * L.kb() + k]);
        for (double& v : scale)
            if (!(v > 0.0)) v = 1.0;
    }

    // The largest cosine between the residuals and a Jacobian column.
    bool gradient_small(const Normal& ne, const std::vector<double>& scale, double cost) const {
        const Layout& L = p_.layout();
        const double rnorm = std::sqrt(2.0 * cost);
        double worst = 0.0;
        for (std::size_t s = 0; s < L.ks(); ++s) worst = std::max(worst, std::fabs(ne.gs[s]) / std::sqrt(scale[s]));
        for (std::size_t i = 0; i < L.spectra; ++i)
            for (std::size_t k = 0; k < L.kb(); ++k)
                worst = std::max(worst, std::fabs(ne.gb[i][k]) / std::sqrt(scale[L.offset(i) + k]));
        return worst <= std::max(req_.gtol, kEpsmch) * rnorm;
    }

    SeriesProblem& p_;
    const SharedFitRequest& req_;
};

// ---- statistics ------------------------------------------------------------

// Standard errors from the arrow-shaped J^T J (scaled to a unit diagonal
// before inversion): the shared corner's from the inverse Schur complement,
// each block's from C^-1 + C^-1 B^T S^-1 B C^-1. An unknown the residuals do
// not depend on at all (a zero column: a resistance in parallel with a short
// in the band, say) is left out and reported NaN, the others computed
// without it; empty when what remains is singular.
std::vector<double> standard_errors(Normal ne, const Layout& L, double s2) {
    const std::size_t ks = L.ks(), kb = L.kb();
    std::vector<double> d(L.unknowns());
    for (std::size_t s = 0; s < ks; ++s) d[s] = std::sqrt(ne.a[s * ks + s]);
    for (std::size_t i = 0; i < L.spectra; ++i)
        for (std::size_t k = 0; k < kb; ++k) d[L.offset(i) + k] = std::sqrt(ne.c[i][k * kb + k]);
    if (std::any_of(d.begin(), d.end(), [](double v) { return !std::isfinite(v); })) return {};
    std::vector<bool> unseen(d.size(), false);
    for (std::size_t j = 0; j < d.size(); ++j)
        if (!(d[j] > 0.0)) {
            unseen[j] = true;
            d[j] = 1.0;
        }
    hold_out(ne, L, unseen);
    for (std::size_t s = 0; s < ks; ++s)
        for (std::size_t t = 0; t < ks; ++t) ne.a[s * ks + t] /= d[s] * d[t];
    std::vector<std::vector<double>> cinv(L.spectra), w(L.spectra);
    std::vector<double> schur = ne.a;
    for (std::size_t i = 0; i < L.spectra; ++i) {
        const double* db = d.data() + L.offset(i);
        for (std::size_t k = 0; k < kb; ++k) {
            for (std::size_t l = 0; l < kb; ++l) ne.c[i][k * kb + l] /= db[k] * db[l];
            for (std::size_t s = 0; s < ks; ++s) ne.b[i][s * kb + k] /= d[s] * db[k];
        }
        auto inv = invert(ne.c[i], kb);
        if (!inv) return {};
        cinv[i] = std::move(*inv);
        w[i].assign(ks * kb, 0.0);  // W = B C^-1
        for (std::size_t s = 0; s < ks; ++s)
            for (std::size_t k = 0; k < kb; ++k)
                for (std::size_t l = 0; l < kb; ++l) w[i][s * kb + k] += ne.b[i][s * kb + l] * cinv[i][l * kb + k];
        for (std::size_t s = 0; s < ks; ++s)
            for (std::size_t t = 0; t < ks; ++t)
                for (std::size_t k = 0; k < kb; ++k) schur[s * ks + t] -= w[i][s * kb + k] * ne.b[i][t * kb + k];
    }
    std::vector<double> sinv;
    if (ks > 0) {
        auto inv = invert(schur, ks);
        if (!inv) return {};
        sinv = std::move(*inv);
    }
    std::vector<double> se(L.unknowns());
    for (std::size_t s = 0; s < ks; ++s) se[s] = sinv[s * ks + s];
    for (std::size_t i = 0; i < L.spectra; ++i)
        for (std::size_t k = 0; k < kb; ++k) {
            double v = cinv[i][k * kb + k];
            for (std::size_t s = 0; s < ks; ++s)
                for (std::size_t t = 0; t < ks; ++t) v += w[i][s * kb + k] * sinv[s * ks + t] * w[i][t * kb + k];
            se[L.offset(i) + k] = v;
        }
    for (std::size_t j = 0; j < se.size(); ++j)
        se[j] = unseen[j] || !(se[j] >= 0.0) ? kNaN : std::sqrt(s2 * se[j]) / d[j];
    return se;
}

// ---- checks ----------------------------------------------------------------

std::optional<FitError> invalid(const char* why) { return FitError{FitError::Kind::Solver, why}; }

std::optional<FitError> check_request(const SharedFitRequest& req, std::size_t n) {
    if (!req.circuit) return invalid("no circuit");
    if (n == 0) return FitError{FitError::Kind::NoParameters, {}};
    if (req.spectra.empty()) return FitError{FitError::Kind::EmptySpectrum, {}};
    for (const SeriesSpectrum& s : req.spectra) {
        if (auto e = check_inputs(*req.circuit, s.frequencies.size(), s.impedances.size())) return e;
        if (!s.point_weights.empty() && s.point_weights.size() != s.frequencies.size())
            return invalid("point weights must have one value per point");
    }
    if (req.starts.size() != req.spectra.size()) return invalid("one starting vector per spectrum is needed");
    for (const auto& st : req.starts) {
        if (st.size() != n) return invalid("a starting vector must hold one value per parameter");
        if (!std::all_of(st.begin(), st.end(), [](double v) { return std::isfinite(v); }))
            return invalid("starting values must be finite");
    }
    if ((!req.shared.empty() && req.shared.size() != n) || (!req.held.empty() && req.held.size() != n) ||
        (!req.limits.empty() && req.limits.size() != n))
        return invalid("shared, held and limits need one entry per parameter");
    if (std::signbit(req.ftol) || std::signbit(req.xtol) || std::signbit(req.gtol))
        return invalid("tolerances must be >= 0");
    return std::nullopt;
}

// The element bounds narrowed by the request's limits; nothing when a range ends empty.
std::optional<std::vector<Bounds>> effective_limits(const SharedFitRequest& req) {
    std::vector<Bounds> out = param_bounds(*req.circuit);
    for (std::size_t j = 0; j < req.limits.size(); ++j) {
        const Bounds& u = req.limits[j];
        if (std::isnan(u.lo) || std::isnan(u.hi)) return std::nullopt;
        out[j] = {std::max(out[j].lo, u.lo), std::min(out[j].hi, u.hi)};
        if (!(out[j].lo < out[j].hi)) return std::nullopt;
    }
    return out;
}

}  // namespace

SharedFitResult run_shared_fit(const SharedFitRequest& req) {
    const std::size_t n = req.circuit ? param_count(*req.circuit) : 0;
    if (auto e = check_request(req, n)) return *e;
    auto limits = effective_limits(req);
    if (!limits) return FitError{FitError::Kind::InvalidLimits, {}};
    Layout layout;
    layout.spectra = req.spectra.size();
    for (std::size_t j = 0; j < n; ++j) {
        if (!req.held.empty() && req.held[j]) continue;
        (!req.shared.empty() && req.shared[j] ? layout.shared : layout.block).push_back(j);
    }
    if (layout.unknowns() == 0) return FitError{FitError::Kind::NoParameters, {}};

    SeriesProblem problem(req, std::move(layout), std::move(*limits));
    std::vector<double> x = problem.start();
    SolveReport rep = SharedLm(problem, req).run(x);
    if (rep.cancelled) return FitError{FitError::Kind::Cancelled, {}};

    const Layout& L = problem.layout();
    SharedFitOutcome out;
    out.residuals = problem.residuals();
    out.unknowns = L.unknowns();
    out.chi_square.assign(L.spectra, 0.0);
    out.total_chi_square = 2.0 * problem.cost(x, &out.chi_square);
    out.params.resize(L.spectra);
    for (std::size_t i = 0; i < L.spectra; ++i) problem.params_of(x, i, out.params[i]);

    std::vector<double> se;
    Normal ne;
    if (out.residuals > out.unknowns && problem.normal_equations(x, false, ne))
        se = standard_errors(std::move(ne), L, out.total_chi_square / double(out.residuals - out.unknowns));
    out.stderr_.assign(L.spectra, std::vector<double>(n, 0.0));
    for (std::size_t i = 0; i < L.spectra; ++i) {
        for (std::size_t s = 0; s < L.ks(); ++s) out.stderr_[i][L.shared[s]] = se.empty() ? kNaN : se[s];
        for (std::size_t k = 0; k < L.kb(); ++k)
            out.stderr_[i][L.block[k]] = se.empty() ? kNaN : se[L.offset(i) + k];
    }
    out.iterations = rep.iterations;
    out.evaluations = problem.evaluations();
    out.success = rep.success;
    out.stop = std::move(rep.stop);
    return out;
}

}  // namespace zetrion
