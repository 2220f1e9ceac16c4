#include "fit/driver.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fit/global_search.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/residuals.hpp"
#include "circuit/evaluate.hpp"
#include "circuit/params.hpp"

namespace zetrion {
namespace {

// The request's options applied to freshly built fit data.
std::optional<FitError> apply_options(const FitRequest& req, FitData& d) {
    d.cancel = req.cancel;
    d.diagnose = req.diagnose;
    if (!req.point_weights.empty()) {
        if (req.point_weights.size() != d.weights.size()) return FitError{FitError::Kind::LengthMismatch, {}};
        d.weights = req.point_weights;
    }
    if (!req.point_weights_im.empty()) {
        if (req.point_weights_im.size() != d.weights.size()) return FitError{FitError::Kind::LengthMismatch, {}};
        d.weights_im = req.point_weights_im;
    }
    if (!req.limits.empty() || !req.held.empty()) {
        std::vector<Bounds> limits = req.limits.empty() ? d.bounds : req.limits;
        std::vector<bool> held = req.held.empty() ? std::vector<bool>(d.n, false) : req.held;
        if (!d.restrict(limits, held)) return FitError{FitError::Kind::InvalidLimits, {}};
    }
    return std::nullopt;
}

FitResult dispatch(const FitRequest& req) {
    if (auto e = check_inputs(*req.circuit, req.frequencies.size(), req.impedances.size())) return *e;
    FitData d(*req.circuit, req.frequencies, req.impedances, req.weighting);
    if (auto e = apply_options(req, d)) return *e;

    EvalCounter counter{0};
    GlobalRun run;
    // Every method is named here, with no default: a new one must be wired
    // in, not fall through to another.
    switch (req.method) {
        case FitMethod::LevenbergMarquardt:
        {
            LmSettings s;
            s.ftol = req.ftol;
            s.xtol = req.xtol;
            s.gtol = 1e-8;
            s.patience = req.max_iterations;
            s.cancel = req.cancel;
            return levenberg_marquardt_fit(d, d.start, s);
        }
        case FitMethod::BasinHopping:
            return basin_hopping(HopSettings{req.basin_hopping_hops, req.basin_hopping_step_size,
                                             req.basin_hopping_temperature, req.seed},
                                 d);
        case FitMethod::ParticleSwarm:
            run = particle_swarm(d, counter, req.num_particles, req.generations, req.seed);
            break;
        case FitMethod::NelderMead: run = nelder_mead(d, counter, req.nelder_mead_iterations); break;
        case FitMethod::SimulatedAnnealing:
            run = simulated_annealing(d, counter, req.sa_iterations, req.sa_initial_temperature, req.seed);
            break;
        case FitMethod::DifferentialEvolution: run = differential_evolution(d, counter, req.de_evaluations); break;
    }
    if (auto* e = std::get_if<FitError>(&run)) return *e;
    if (cancel_requested(req.cancel)) return FitError{FitError::Kind::Cancelled, {}};
    GlobalResult& g = std::get<GlobalResult>(run);
    return polish_or_fallback(d, physical(g.x, d.bounds), g.iterations, counter);
}

}  // namespace

FitResult run_fit(const FitRequest& req) {
    const ConcurrentFit in_progress;
    FitResult r = dispatch(req);
    // A stop may come after a method's last poll: what it returned then is
    // not the fit that was asked for.
    if (cancel_requested(req.cancel)) return FitError{FitError::Kind::Cancelled, {}};
    return r;
}

BestOfStarts run_fit_from_starts(FitRequest req, std::span<const std::vector<double>> starts) {
    BestOfStarts out;
    const SeriesList* base = req.circuit;
    const std::size_t n = param_count(*base);
    std::optional<FitOutcome> best;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        std::vector<double> values = starts[k];
        if (values.size() != n) continue;
        for (std::size_t i = 0; i < n && i < req.held.size(); ++i)
            if (req.held[i]) values[i] = starts[0][i];
        const SeriesList tree = rebuild(*base, values);
        req.circuit = &tree;
        FitResult r = run_fit(req);
        ++out.tried;
        if (auto* e = std::get_if<FitError>(&r)) {
            if (k == 0 || e->kind == FitError::Kind::Cancelled) {
                out.result = std::move(r);
                return out;
            }
            continue;
        }
        FitOutcome& o = std::get<FitOutcome>(r);
        const bool better = !best || (o.success && !best->success) ||
                            (o.success == best->success && std::isfinite(o.cost) &&
                             (!std::isfinite(best->cost) || o.cost < best->cost));
        if (better) {
            best = std::move(o);
            out.winner = k;
        }
    }
    if (best) out.result = std::move(*best);
    else out.result = FitError{FitError::Kind::Solver, "no starting values of the right length"};
    return out;
}

BestOfStarts run_fit_screened(FitRequest req, std::span<const std::vector<double>> starts,
                              std::uint32_t patience, std::size_t polish) {
    BestOfStarts out;
    if (starts.empty() || req.method != FitMethod::LevenbergMarquardt) return run_fit_from_starts(req, starts);
    const SeriesList& tree = *req.circuit;
    if (auto e = check_inputs(tree, req.frequencies.size(), req.impedances.size())) {
        out.result = *e;
        return out;
    }
    const SeriesList start_tree = rebuild(tree, starts[0]);
    FitData d(start_tree, req.frequencies, req.impedances, req.weighting);
    if (auto e = apply_options(req, d)) {
        out.result = *e;
        return out;
    }
    LmSettings s;
    s.ftol = req.ftol;
    s.xtol = req.xtol;
    s.patience = patience;
    s.cancel = req.cancel;
    s.split_jacobian = true;
    EvalCounter counter{0};
    struct End {
        std::vector<double> params;
        double cost;
        std::size_t start;
    };
    std::vector<End> ends;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        if (cancel_requested(req.cancel)) {
            out.result = FitError{FitError::Kind::Cancelled, {}};
            return out;
        }
        if (starts[k].size() != d.n) continue;
        std::vector<double> x0 = starts[k];
        for (std::size_t i = 0; i < d.n; ++i)
            x0[i] = d.fixed[i] ? starts[0][i] : std::clamp(x0[i], d.limits[i].lo, d.limits[i].hi);
        auto run = levenberg_marquardt_single_start(d, to_solver_space(x0, d.bounds), d.fixed, s, counter);
        ++out.tried;
        auto* r = std::get_if<SingleStart>(&run);
        if (!r) continue;
        std::vector<double> end = r->params;
        for (std::size_t i = 0; i < d.n; ++i) end[i] = std::clamp(end[i], d.limits[i].lo, d.limits[i].hi);
        const double c = cost_at(d, end, counter);
        if (std::isfinite(c)) ends.push_back({std::move(end), c, k});
    }
    if (ends.empty()) {
        out.result = FitError{FitError::Kind::Solver, "no start gave a finite cost"};
        return out;
    }
    // The most promising ends are polished by the whole fit, as any start
    // is; the best polished outcome wins (the earliest start on ties).
    std::stable_sort(ends.begin(), ends.end(), [](const End& a, const End& b) { return a.cost < b.cost; });
    std::optional<FitOutcome> best;
    for (std::size_t j = 0; j < std::min(ends.size(), polish); ++j) {
        const SeriesList polish_tree = rebuild(tree, ends[j].params);
        req.circuit = &polish_tree;
        FitResult r = run_fit(req);
        if (auto* e = std::get_if<FitError>(&r)) {
            if (e->kind == FitError::Kind::Cancelled || (j == 0 && ends.size() == 1)) {
                out.result = std::move(r);
                return out;
            }
            continue;
        }
        FitOutcome& o = std::get<FitOutcome>(r);
        counter.fetch_add(o.impedance_evals);
        const bool better = !best || (o.success && !best->success) ||
                            (o.success == best->success && o.cost < best->cost);
        if (better) {
            best = std::move(o);
            out.winner = ends[j].start;
        }
    }
    if (!best) {
        out.result = FitError{FitError::Kind::Solver, "no polished start converged"};
        return out;
    }
    best->impedance_evals = counter.load();
    out.result = std::move(*best);
    return out;
}

}  // namespace zetrion
