#include "fit/driver.hpp"

#include "fit/levenberg_marquardt.hpp"

namespace zetrion {

FitResult run_fit(const FitRequest& req) {
    bool known = false;
    for (const char* m : kFitMethods) known = known || req.method == m;
    if (!known) return FitError{FitError::Kind::UnknownMethod, req.method};
    if (auto e = check_inputs(*req.circuit, req.frequencies.size(), req.impedances.size())) return *e;

    if (req.method == "levenberg_marquardt") {
        LmSettings s;
        s.ftol = req.ftol;
        s.xtol = req.xtol;
        s.gtol = 1e-8;
        s.patience = req.max_iterations;
        return levenberg_marquardt_fit(*req.circuit, req.frequencies, req.impedances, req.weighting, s);
    }
    // The global search methods are not part of this build yet; say so
    // rather than return an unsearched result.
    return FitError{FitError::Kind::Solver, "method \"" + req.method + "\" is not available in this build"};
}

}  // namespace zetrion
