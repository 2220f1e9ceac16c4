// The global fit methods: particle swarm, Nelder-Mead, simulated annealing,
// differential evolution and basin hopping. All search in the solver space of
// the Levenberg-Marquardt fit with the plain cost 0.5 * sum r^2; all but
// basin hopping hand their best point to polish_or_fallback.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fit/outcome.hpp"
#include "fit/residuals.hpp"

namespace zetrion {

struct SearchBox {
    std::vector<double> lower, upper;
};

// Closed parameters: [lo, hi]. Open ones: four decades either side of the
// current value, as log10 of the distance above lo.
SearchBox pso_search_box(const FitData& d);

// The cost in solver space, one residual evaluation per call. Evaluation
// buffers are set up once, so a method's inner loop allocates nothing.
class SolverCost {
public:
    SolverCost(const FitData& d, EvalCounter& counter);
    // NaN without evaluating once the fit is cancelled.
    double operator()(std::span<const double> x);
    bool cancelled() const { return cancel_requested(d_.cancel); }

private:
    const FitData& d_;
    EvalCounter& counter_;
    ResidualEvaluator eval_;
    std::vector<double> v_;
};

struct GlobalResult {
    std::vector<double> x;  // solver space
    std::uint64_t iterations;
};
using GlobalRun = std::variant<GlobalResult, FitError>;

GlobalRun particle_swarm(const FitData& d, EvalCounter& c, std::uint64_t particles, std::uint64_t generations,
                         std::optional<std::uint64_t> seed);
GlobalRun nelder_mead(const FitData& d, EvalCounter& c, std::uint64_t iterations);
GlobalRun simulated_annealing(const FitData& d, EvalCounter& c, std::uint64_t iterations, double t0,
                              std::optional<std::uint64_t> seed);
GlobalRun differential_evolution(const FitData& d, EvalCounter& c, std::uint64_t evaluations);

struct HopSettings {
    std::uint32_t hops = 20;
    double step_size = 1.0;
    double temperature = 1.0;
    std::optional<std::uint64_t> seed;
};

// Local fits from random hops around the current optimum (Metropolis
// acceptance), each through levenberg_marquardt_fit on the same data.
FitResult basin_hopping(const HopSettings& h, const FitData& d);

// Statistics of the global method's point p, or the Levenberg-Marquardt fit
// started from it when that ends at a cost no higher.
FitResult polish_or_fallback(const FitData& d, std::vector<double> p, std::uint64_t iterations,
                             EvalCounter& counter);

}  // namespace zetrion
