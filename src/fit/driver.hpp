// The fit driver: method dispatch from a fit request to an outcome.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

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
};

FitResult run_fit(const FitRequest& req);

}  // namespace zetrion
