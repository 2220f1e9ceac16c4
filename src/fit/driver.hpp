// The fit driver: method dispatch from a fit request to an outcome.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fit/method.hpp"
#include "fit/outcome.hpp"

namespace zetrion {

struct FitRequest {
    FitMethod method = FitMethod::LevenbergMarquardt;
    std::uint32_t max_iterations = 200;
    double ftol = 1e-8;
    double xtol = 1e-8;
    const SeriesList* circuit = nullptr;  // with its starting values
    std::span<const double> frequencies;  // Hz
    std::span<const Cx> impedances;
    Weighting weighting = Weighting::Modulus;
    std::uint64_t num_particles = 200;
    std::uint64_t generations = 1000;
    std::optional<std::uint64_t> seed;
    std::uint64_t nelder_mead_iterations = 2000;
    std::uint64_t de_evaluations = 20000;
    std::uint64_t sa_iterations = 5000;
    double sa_initial_temperature = 2.0;
    std::uint32_t basin_hopping_hops = 20;
    double basin_hopping_step_size = 1.0;
    double basin_hopping_temperature = 1.0;
    const Cancellation* cancel = nullptr;  // a stop ends the fit with FitError::Kind::Cancelled
    // Narrower ranges than the elements' own and parameters held at their
    // starting values, one entry per parameter; empty: none of either.
    std::vector<Bounds> limits;
    std::vector<bool> held;
    // Each point's weight w_i (residuals are divided by it), replacing the
    // weighting's own; empty: the weighting decides.
    std::vector<double> point_weights;
    // The imaginary parts' own weights (with point_weights); empty: the same.
    std::vector<double> point_weights_im;
    bool diagnose = false;  // the outcome names the combinations the data cannot determine
};

FitResult run_fit(const FitRequest& req);

struct BestOfStarts {
    FitResult result;
    std::size_t winner = 0;  // index into the starts of the outcome kept
    std::size_t tried = 0;
};

// The fit run from each start in turn (the request's circuit carrying those
// values, held parameters kept at theirs); the converged outcome of lowest
// cost is kept, the earliest on ties, and an unconverged one only when none
// converged. A start whose run fails is passed over, unless it is the first
// or the fit was cancelled.
BestOfStarts run_fit_from_starts(FitRequest req, std::span<const std::vector<double>> starts);

// Many starts cheaply: one Levenberg-Marquardt run of at most `patience`
// budget units from each (no candidate scan), then the whole fit from the
// ends of the `polish` runs of lowest cost, the best outcome kept. For the
// Levenberg-Marquardt method; others run every start in full.
BestOfStarts run_fit_screened(FitRequest req, std::span<const std::vector<double>> starts,
                              std::uint32_t patience, std::size_t polish = 3);

}  // namespace zetrion
