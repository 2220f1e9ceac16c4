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
    LmProblem(const FitData& d, const std::vector<bool>& fixed, EvalCounter& counter)
        : d_(d), fixed_(fixed), counter_(counter), eval_(d.tree, d.spectrum()), v_(d.n) {}

    std::size_t residual_count() const override { return d_.residual_count(); }

    void residuals(std::span<const double> x, double* r) override {
        const std::size_t n = std::min(x.size(), d_.n);
        physical_into(x.first(n), d_.bounds, v_.data());
        eval_(std::span<const double>(v_.data(), n), counter_, r);
    }

    void jacobian(std::span<const double> x, double* jac) override {
        const std::vector<double> v = physical(x, d_.bounds);
        const std::size_t m = d_.residual_count();
        jacobian_columns(d_.tree, v, d_.spectrum(), counter_, jac);
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
};

bool plausible(const FitData& d, const std::vector<double>& p, bool success, double cost) {
    if (!success || !std::isfinite(cost)) return false;
    for (std::size_t i = 0; i < d.n; ++i) {
        const Bounds& b = d.bounds[i];
        if (is_closed(b)) {
            const double tol = (b.hi - b.lo) * 1e-6;
            if (!(std::fabs(p[i] - b.lo) > tol && std::fabs(b.hi - p[i]) > tol)) return false;
        } else {
            if (!(p[i] > 100.0 * b.lo)) return false;
            const double q = p[i] / std::max(std::fabs(d.start[i]), 1e-300);
            if (!(std::isfinite(q) && q >= 1e-6 && q < 1e6)) return false;
        }
    }
    return true;
}

// Every closed parameter within its bounds (open ones are within by
// construction of the solver space).
bool within_bounds(const FitData& d, const std::vector<double>& p) {
    for (std::size_t i = 0; i < d.n; ++i) {
        const Bounds& b = d.bounds[i];
        if (is_closed(b) && !(p[i] >= b.lo && p[i] <= b.hi)) return false;
    }
    return true;
}

std::vector<double> clamped_to_bounds(const FitData& d, std::vector<double> p) {
    for (std::size_t i = 0; i < d.n; ++i) p[i] = std::clamp(p[i], d.bounds[i].lo, d.bounds[i].hi);
    return p;
}

std::optional<FitError> check_tolerances(const LmSettings& s) {
    if (std::signbit(s.ftol)) return FitError{FitError::Kind::Solver, "ftol must be >= 0"};
    if (std::signbit(s.xtol)) return FitError{FitError::Kind::Solver, "xtol must be >= 0"};
    if (std::signbit(s.gtol)) return FitError{FitError::Kind::Solver, "gtol must be >= 0"};
    return std::nullopt;
}

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

std::vector<Candidate> candidate_starting_points(const FitData& d, EvalCounter& counter) {
    static constexpr double kOpenFactor[5] = {1.0, 3.0, 0.3333333333333333, 8.0, 0.125};
    static constexpr double kClosedFraction[4] = {0.2, 0.4, 0.6, 0.8};
    std::vector<Candidate> out;
    out.reserve(9);
    for (int c = 0; c < 9; ++c) {
        std::vector<double> p(d.n);
        for (std::size_t i = 0; i < d.n; ++i) {
            const Bounds& b = d.bounds[i];
            const double v0 = d.start[i];
            if (is_closed(b)) {
                p[i] = c < 5 ? v0 : b.lo + (b.hi - b.lo) * kClosedFraction[c - 5];
            } else {
                p[i] = c < 5 ? kOpenFactor[c] * v0 : v0;
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
    LmProblem problem(d, fixed, counter);
    std::vector<double> x(x0.begin(), x0.end());
    const LmReport rep = lm_minimize(problem, x, s);
    return SingleStart{physical(x, d.bounds), rep.success(), rep.evaluations, rep.stop};
}

FitResult levenberg_marquardt_fit(const SeriesList& tree, std::span<const double> f_hz, std::span<const Cx> z,
                                  Weighting w, const LmSettings& s) {
    if (auto e = check_inputs(tree, f_hz.size(), z.size())) return *e;
    const FitData d(tree, f_hz, z, w);
    EvalCounter counter{0};
    for (const Bounds& b : d.bounds)
        if (std::isnan(b.lo) || std::isnan(b.hi) || b.lo > b.hi)
            return FitError{FitError::Kind::Solver, "invalid parameter bounds"};

    const std::vector<bool> none(d.n, false);
    std::uint64_t total = 0;
    struct Best {
        SingleStart run;
        double cost;
    };
    std::optional<Best> best;
    // The best as it stood when a run first passed the plausibility test
    // with a closed parameter beyond its bound: the classic pass stops there.
    std::optional<Best> stopped_beyond;
    // The lowest-cost admissible vector met on the way: a starting point or
    // the end of a run with every parameter within its bounds. A pinned
    // re-solve must not hand back anything worse.
    std::vector<double> admissible;
    bool admissible_success = false;
    double admissible_cost = std::numeric_limits<double>::infinity();
    const auto consider = [&](const std::vector<double>& p, double k, bool success) {
        if (k < admissible_cost && within_bounds(d, p)) {
            admissible = p;
            admissible_cost = k;
            admissible_success = success;
        }
    };
    for (const Candidate& cand : candidate_starting_points(d, counter)) {
        if (cancel_requested(s.cancel)) return FitError{FitError::Kind::Cancelled, {}};
        consider(cand.params, cand.cost, false);
        auto run = levenberg_marquardt_single_start(d, to_solver_space(cand.params, d.bounds), none, s, counter);
        if (auto* e = std::get_if<FitError>(&run)) return *e;
        SingleStart r = std::get<SingleStart>(std::move(run));
        total += r.evaluations;
        const double k = cost_at(d, r.params, counter);
        const bool replace =
            !best || (r.success && !best->run.success) || (r.success == best->run.success && k < best->cost);
        const bool stop = plausible(d, r.params, r.success, k);
        const bool inside = within_bounds(d, r.params);
        consider(r.params, k, r.success);
        if (replace) best = Best{std::move(r), k};
        if (stop && inside) break;
        // Far from both bounds but beyond one: the pinned re-solve of this
        // best may land far above what the remaining starts reach, so the
        // pass goes on and both are pinned below.
        if (stop && !stopped_beyond) stopped_beyond = best;
    }

    // Pinned re-solve: clamp, freeze closed parameters at or beyond a bound,
    // solve the rest again. Every vector is judged at its clamped cost, the
    // cost of what would be returned (the outcome is clamped to the bounds).
    struct Final {
        std::vector<double> p;
        bool success;
        double cost;
        bool pinned;
    };
    const auto pin = [&](const Best& b) -> std::variant<Final, FitError> {
        const std::vector<double>& p = b.run.params;
        std::vector<double> clamped = clamped_to_bounds(d, p);
        std::vector<bool> fixed(d.n, false);
        bool any_fixed = false;
        for (std::size_t i = 0; i < d.n; ++i) {
            const Bounds& bd = d.bounds[i];
            if (is_closed(bd) && (p[i] <= bd.lo || p[i] >= bd.hi)) fixed[i] = any_fixed = true;
        }
        if (!any_fixed) return Final{p, b.run.success, b.cost, false};
        auto run = levenberg_marquardt_single_start(d, to_solver_space(clamped, d.bounds), fixed, s, counter);
        if (auto* e = std::get_if<FitError>(&run)) return *e;
        SingleStart r = std::get<SingleStart>(std::move(run));
        total += r.evaluations;
        std::vector<double> p2 = clamped_to_bounds(d, std::move(r.params));
        const double k2 = cost_at(d, p2, counter);
        const double k_clamped = cost_at(d, clamped, counter);
        if (r.success && k2 < k_clamped) return Final{std::move(p2), true, k2, true};
        return Final{std::move(clamped), b.run.success, k_clamped, true};
    };
    if (cancel_requested(s.cancel)) return FitError{FitError::Kind::Cancelled, {}};
    auto first = pin(*best);
    if (auto* e = std::get_if<FitError>(&first)) return *e;
    Final result = std::get<Final>(std::move(first));
    if (stopped_beyond && stopped_beyond->run.params != best->run.params) {
        auto other = pin(*stopped_beyond);
        if (auto* e = std::get_if<FitError>(&other)) return *e;
        Final& o = std::get<Final>(other);
        if (total_less(o.cost, result.cost)) result = std::move(o);
    }
    // Clamping can land far above a vector the search already met within
    // the bounds; never hand back worse than that.
    if (result.pinned && admissible_cost < result.cost) {
        result.p = std::move(admissible);
        result.success = admissible_success;
    }
    std::vector<double> final_p = std::move(result.p);
    const bool final_success = result.success;
    return build_outcome(d, std::move(final_p), final_success, total, counter);
}

}  // namespace zetrion
