#include "fit/driver.hpp"

#include "fit/global_search.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/residuals.hpp"

namespace zetrion {
namespace {

FitResult dispatch(const FitRequest& req) {
    if (auto e = check_inputs(*req.circuit, req.frequencies.size(), req.impedances.size())) return *e;

    if (req.method == FitMethod::LevenbergMarquardt) {
        LmSettings s;
        s.ftol = req.ftol;
        s.xtol = req.xtol;
        s.gtol = 1e-8;
        s.patience = req.max_iterations;
        s.cancel = req.cancel;
        return levenberg_marquardt_fit(*req.circuit, req.frequencies, req.impedances, req.weighting, s);
    }
    FitData d(*req.circuit, req.frequencies, req.impedances, req.weighting);
    d.cancel = req.cancel;
    if (req.method == FitMethod::BasinHopping) return basin_hopping(req, d);
    EvalCounter counter{0};
    GlobalRun run;
    switch (req.method) {
        case FitMethod::ParticleSwarm:
            run = particle_swarm(d, counter, req.num_particles, req.generations, req.seed);
            break;
        case FitMethod::NelderMead: run = nelder_mead(d, counter, req.nelder_mead_iterations); break;
        case FitMethod::SimulatedAnnealing:
            run = simulated_annealing(d, counter, req.sa_iterations, req.sa_initial_temperature, req.seed);
            break;
        default: run = differential_evolution(d, counter, req.de_evaluations); break;
    }
    if (auto* e = std::get_if<FitError>(&run)) return *e;
    if (cancel_requested(req.cancel)) return FitError{FitError::Kind::Cancelled, {}};
    GlobalResult& g = std::get<GlobalResult>(run);
    return polish_or_fallback(req, d, physical(g.x, d.bounds), g.iterations, counter);
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

}  // namespace zetrion
