#include "fit/levenberg_marquardt.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "circuit/evaluate.hpp"
#include "util/total_order.hpp"

namespace zetrion {
namespace {

constexpr double kLn10 = 2.302585092994046;

// The solver's view of one circuit fit: residuals and Jacobian in solver space.
class LmProblem final : public LmFunction {
public:
    LmProblem(const FitData& d, const std::vector<bool>& fixed, EvalCounter& counter, bool split)
        : d_(d), fixed_(fixed), counter_(counter), eval_(d.tree, d.spectrum()), v_(d.n) {
        if (split) split_.emplace(d.tree, d.spectrum());
    }

    std::size_t residual_count() const override { return d_.residual_count(); }

    void residuals(std::span<const double> x, double* r) override {
        const std::size_t n = std::min(x.size(), d_.n);
        physical_into(x.first(n), d_.bounds, v_.data());
        eval_(std::span<const double>(v_.data(), n), counter_, r);
    }

    void jacobian(std::span<const double> x, double* jac) override {
        const std::vector<double> v = physical(x, d_.bounds);
        const std::size_t m = d_.residual_count();
        if (split_) (*split_)(v, &fixed_, counter_, jac);
        else jacobian_columns(d_.tree, v, d_.spectrum(), counter_, jac);
        for (std::size_t j = 0; j < v.size(); ++j) {
            double* col = jac + j * m;
            if (fixed_[j]) {
                std::fill(col, col + m, 0.0);
            } else if (!is_closed(d_.bounds[j])) {
                const double g = (v[j] - d_.bounds[j].lo) * kLn10;
                for (std::size_t i = 0; i < m; ++i) col[i] *= g;
            }
        }
    }

private:
    const FitData& d_;
    const std::vector<bool>& fixed_;
    EvalCounter& counter_;
    ResidualEvaluator eval_;
    std::vector<double> v_;
    std::optional<SplitJacobian> split_;
};

// A parameter whose range is enforced by clamping and pinning rather than by
// the solver space: a closed one, or one a caller narrowed.
bool pinnable(const FitData& d, std::size_t i) { return is_closed(d.bounds[i]) || d.narrowed(i); }

// Clear of both ends of its range by a millionth of the range (of the lower
// end's magnitude when the range is open above).
bool clear_of_limits(const Bounds& lim, double p) {
    const double span = std::isfinite(lim.hi - lim.lo) ? lim.hi - lim.lo : std::fabs(lim.lo);
    const double tol = span * 1e-6;
    return std::fabs(p - lim.lo) > tol && std::fabs(lim.hi - p) > tol;
}

bool plausible(const FitData& d, std::span<const double> start, const std::vector<double>& p, bool success,
               double cost) {
    if (!success || !std::isfinite(cost)) return false;
    for (std::size_t i = 0; i < d.n; ++i) {
        if (d.fixed[i]) continue;
        const Bounds& b = d.bounds[i];
        if (is_closed(b)) {
            if (!clear_of_limits(d.limits[i], p[i])) return false;
        } else {
            if (!(p[i] > 100.0 * b.lo)) return false;
            const double q = p[i] / std::max(std::fabs(start[i]), 1e-300);
            if (!(std::isfinite(q) && q >= 1e-6 && q < 1e6)) return false;
            if (d.narrowed(i) && !clear_of_limits(d.limits[i], p[i])) return false;
        }
    }
    return true;
}

// Every pinnable parameter within its limits (the others are within by
// construction of the solver space).
bool within_bounds(const FitData& d, const std::vector<double>& p) {
    for (std::size_t i = 0; i < d.n; ++i) {
        const Bounds& b = d.limits[i];
        if (pinnable(d, i) && !(p[i] >= b.lo && p[i] <= b.hi)) return false;
    }
    return true;
}

std::vector<double> clamped_to_bounds(const FitData& d, std::vector<double> p) {
    for (std::size_t i = 0; i < d.n; ++i) p[i] = std::clamp(p[i], d.limits[i].lo, d.limits[i].hi);
    return p;
}

std::optional<FitError> check_tolerances(const LmSettings& s) {
    if (std::signbit(s.ftol)) return FitError{FitError::Kind::Solver, "ftol must be >= 0"};
    if (std::signbit(s.xtol)) return FitError{FitError::Kind::Solver, "xtol must be >= 0"};
    if (std::signbit(s.gtol)) return FitError{FitError::Kind::Solver, "gtol must be >= 0"};
    return std::nullopt;
}

// The multi-start pass and the pinned re-solve that settles its result (see
// the header for the two guards against a worse fit).
class MultiStart {
public:
    // What the fit returns, before its statistics.
    struct Settled {
        std::vector<double> params;
        bool success;
        double cost;  // at params
        bool pinned;  // params come from a clamp (and perhaps a re-solve)
    };

    MultiStart(const FitData& d, std::span<const double> start, const LmSettings& s, EvalCounter& counter)
        : d_(d), start_(start), settings_(s), counter_(counter) {}

    // Runs from the candidates in order of cost until one ends plausibly
    // within the bounds.
    std::optional<FitError> search() {
        for (const Candidate& start : candidate_starting_points(d_, start_, counter_)) {
            if (cancel_requested(settings_.cancel)) return FitError{FitError::Kind::Cancelled, {}};
            auto done = run_from(start);
            if (auto* e = std::get_if<FitError>(&done)) return *e;
            if (std::get<bool>(done)) break;
        }
        return std::nullopt;
    }

    // Pins the best run (and the best as it stood when a run stopped beyond
    // a bound); the lower clamped cost wins, and a pinned result is never
    // worse than the best admissible vector met. Called once, after search().
    std::variant<Settled, FitError> settle() {
        auto first = pin(*best_);
        if (auto* e = std::get_if<FitError>(&first)) return *e;
        Settled result = std::get<Settled>(std::move(first));
        if (best_when_stopped_beyond_ && best_when_stopped_beyond_->run.params != best_->run.params) {
            auto other = pin(*best_when_stopped_beyond_);
            if (auto* e = std::get_if<FitError>(&other)) return *e;
            Settled& o = std::get<Settled>(other);
            if (total_less(o.cost, result.cost)) result = std::move(o);
        }
        // Clamping can land far above a vector the search already met within
        // the bounds; never hand back worse than that.
        if (result.pinned && admissible_cost_ < result.cost) {
            result.params = std::move(admissible_);
            result.success = admissible_success_;
            result.cost = admissible_cost_;
        }
        return result;
    }

    // The solver's own evaluation count, summed over every run.
    std::uint64_t solver_evaluations() const { return solver_evaluations_; }

private:
    struct Run {
        SingleStart run;
        double cost;  // at run.params
    };

    // One run from a candidate; true when the pass stops after it.
    std::variant<bool, FitError> run_from(const Candidate& start) {
        remember_if_admissible(start.params, start.cost, false);
        auto solved = solve(to_solver_space(start.params, d_.bounds), d_.fixed);
        if (auto* e = std::get_if<FitError>(&solved)) return *e;
        SingleStart r = std::get<SingleStart>(std::move(solved));
        const double cost = cost_at(d_, r.params, counter_);
        const bool better = !best_ || (r.success && !best_->run.success) ||
                            (r.success == best_->run.success && cost < best_->cost);
        const bool plausible_end = plausible(d_, start_, r.params, r.success, cost);
        const bool inside = within_bounds(d_, r.params);
        remember_if_admissible(r.params, cost, r.success);
        if (better) best_ = Run{std::move(r), cost};
        if (plausible_end && inside) return true;
        // Far from both bounds but beyond one: the pinned re-solve of this
        // best may land far above what the remaining starts reach, so the
        // pass goes on and both are pinned in settle().
        if (plausible_end && !best_when_stopped_beyond_) best_when_stopped_beyond_ = best_;
        return false;
    }

    // Clamps a run, freezes closed parameters at or beyond a bound and
    // solves the rest again. Every vector is judged at its clamped cost, the
    // cost of what would be returned (the outcome is clamped to the bounds).
    std::variant<Settled, FitError> pin(const Run& b) {
        const std::vector<double>& p = b.run.params;
        std::vector<double> clamped = clamped_to_bounds(d_, p);
        std::vector<bool> fixed = d_.fixed;
        bool any_fixed = false;
        for (std::size_t i = 0; i < d_.n; ++i) {
            const Bounds& bd = d_.limits[i];
            if (!d_.fixed[i] && pinnable(d_, i) && (p[i] <= bd.lo || p[i] >= bd.hi)) fixed[i] = any_fixed = true;
        }
        if (!any_fixed) return Settled{p, b.run.success, b.cost, false};
        auto solved = solve(to_solver_space(clamped, d_.bounds), fixed);
        if (auto* e = std::get_if<FitError>(&solved)) return *e;
        SingleStart r = std::get<SingleStart>(std::move(solved));
        std::vector<double> resolved = clamped_to_bounds(d_, std::move(r.params));
        const double resolved_cost = cost_at(d_, resolved, counter_);
        const double clamped_cost = cost_at(d_, clamped, counter_);
        if (r.success && resolved_cost < clamped_cost) return Settled{std::move(resolved), true, resolved_cost, true};
        return Settled{std::move(clamped), b.run.success, clamped_cost, true};
    }

    std::variant<SingleStart, FitError> solve(std::span<const double> x0, const std::vector<bool>& fixed) {
        auto solved = levenberg_marquardt_single_start(d_, x0, fixed, settings_, counter_);
        if (auto* r = std::get_if<SingleStart>(&solved)) solver_evaluations_ += r->evaluations;
        return solved;
    }

    void remember_if_admissible(const std::vector<double>& p, double cost, bool success) {
        if (cost < admissible_cost_ && within_bounds(d_, p)) {
            admissible_ = p;
            admissible_cost_ = cost;
            admissible_success_ = success;
        }
    }

    const FitData& d_;
    std::span<const double> start_;
    const LmSettings& settings_;
    EvalCounter& counter_;
    std::uint64_t solver_evaluations_ = 0;
    std::optional<Run> best_;  // successful beats unsuccessful, then lower cost
    // best_ as it stood when a run first passed the plausibility test with a
    // closed parameter beyond its bound: the classic pass stops there.
    std::optional<Run> best_when_stopped_beyond_;
    // The lowest-cost admissible vector met on the way: a starting point or
    // the end of a run with every parameter within its bounds.
    std::vector<double> admissible_;
    double admissible_cost_ = std::numeric_limits<double>::infinity();
    bool admissible_success_ = false;
};

}  // namespace

bool is_closed(const Bounds& b) { return std::fabs(b.hi) <= std::numeric_limits<double>::max(); }

std::vector<double> to_solver_space(std::span<const double> v, std::span<const Bounds> bounds) {
    const std::size_t n = std::min(v.size(), bounds.size());
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i)
        x[i] = is_closed(bounds[i]) ? v[i] : std::log10(std::max(v[i] - bounds[i].lo, 1e-300));
    return x;
}

void physical_into(std::span<const double> x, std::span<const Bounds> bounds, double* out) {
    const std::size_t n = std::min(x.size(), bounds.size());
    for (std::size_t i = 0; i < n; ++i) out[i] = is_closed(bounds[i]) ? x[i] : bounds[i].lo + std::pow(10.0, x[i]);
}

std::vector<double> physical(std::span<const double> x, std::span<const Bounds> bounds) {
    std::vector<double> v(std::min(x.size(), bounds.size()));
    physical_into(x, bounds, v.data());
    return v;
}

std::vector<Candidate> candidate_starting_points(const FitData& d, std::span<const double> start,
                                                EvalCounter& counter) {
    static constexpr double kOpenFactor[5] = {1.0, 3.0, 0.3333333333333333, 8.0, 0.125};
    static constexpr double kClosedFraction[4] = {0.2, 0.4, 0.6, 0.8};
    std::vector<Candidate> out;
    out.reserve(9);
    for (int c = 0; c < 9; ++c) {
        std::vector<double> p(d.n);
        for (std::size_t i = 0; i < d.n; ++i) {
            const Bounds& b = d.limits[i];
            const double v0 = start[i];
            if (d.fixed[i]) {
                p[i] = v0;
            } else if (is_closed(d.bounds[i])) {
                p[i] = c < 5 ? v0 : b.lo + (b.hi - b.lo) * kClosedFraction[c - 5];
            } else {
                p[i] = c < 5 ? kOpenFactor[c] * v0 : v0;
                if (d.narrowed(i)) p[i] = std::clamp(p[i], b.lo, b.hi);
            }
        }
        const double cost = cost_at(d, p, counter);
        out.push_back({std::move(p), cost});
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const Candidate& a, const Candidate& b) { return total_less(a.cost, b.cost); });
    return out;
}

std::variant<SingleStart, FitError> levenberg_marquardt_single_start(const FitData& d, std::span<const double> x0,
                                                                     const std::vector<bool>& fixed,
                                                                     const LmSettings& s, EvalCounter& counter) {
    if (auto e = check_tolerances(s)) return *e;
    LmProblem problem(d, fixed, counter, s.split_jacobian);
    std::vector<double> x(x0.begin(), x0.end());
    const LmReport rep = lm_minimize(problem, x, s);
    return SingleStart{physical(x, d.bounds), rep.success(), rep.evaluations, rep.stop};
}

FitResult levenberg_marquardt_fit(const FitData& d, std::span<const double> start, const LmSettings& s) {
    EvalCounter counter{0};
    for (const Bounds& b : d.bounds)
        if (std::isnan(b.lo) || std::isnan(b.hi) || b.lo > b.hi)
            return FitError{FitError::Kind::Solver, "invalid parameter bounds"};
    if (start.size() < d.n) return FitError{FitError::Kind::Solver, "too few starting values"};

    MultiStart pass(d, start.first(d.n), s, counter);
    if (auto e = pass.search()) return *e;
    if (cancel_requested(s.cancel)) return FitError{FitError::Kind::Cancelled, {}};
    auto settled = pass.settle();
    if (auto* e = std::get_if<FitError>(&settled)) return *e;
    MultiStart::Settled& result = std::get<MultiStart::Settled>(settled);
    return build_outcome(d, std::move(result.params), result.success, pass.solver_evaluations(), counter);
}

FitResult levenberg_marquardt_fit(const SeriesList& tree, std::span<const double> f_hz, std::span<const Cx> z,
                                  Weighting w, const LmSettings& s) {
    if (auto e = check_inputs(tree, f_hz.size(), z.size())) return *e;
    const FitData d(tree, f_hz, z, w);
    return levenberg_marquardt_fit(d, d.start, s);
}

}  // namespace zetrion
