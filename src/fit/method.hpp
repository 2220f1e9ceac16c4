// The fit methods and the names users call them by.
#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <utility>

namespace zetrion {

enum class FitMethod { LevenbergMarquardt, ParticleSwarm, NelderMead, DifferentialEvolution, SimulatedAnnealing,
                       BasinHopping };

// In the order error messages list them.
inline constexpr std::array<std::pair<FitMethod, std::string_view>, 6> kFitMethods{{
    {FitMethod::LevenbergMarquardt, "levenberg_marquardt"},
    {FitMethod::ParticleSwarm, "particle_swarm"},
    {FitMethod::NelderMead, "nelder_mead"},
    {FitMethod::DifferentialEvolution, "differential_evolution"},
    {FitMethod::SimulatedAnnealing, "simulated_annealing"},
    {FitMethod::BasinHopping, "basin_hopping"},
}};

// The exact name; nothing for any other text (FitError::Kind::UnknownMethod
// reports it).
inline std::optional<FitMethod> parse_fit_method(std::string_view name) {
    for (const auto& [method, text] : kFitMethods)
        if (text == name) return method;
    return std::nullopt;
}

}  // namespace zetrion
