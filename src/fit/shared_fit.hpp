// One circuit fitted to a series of spectra at once, some of its parameters
// taking one value across the whole series (a CPE exponent, a series
// resistance) and the others one value per spectrum.
//
// The unknowns are the shared values followed by one block per spectrum;
// the residuals are every spectrum's weighted residuals, stacked. Each
// spectrum's rows touch only the shared columns and its own block, so J^T J
// is an arrow: a dense shared corner, a diagonal of small blocks and their
// couplings. Every Levenberg-Marquardt step eliminates the blocks onto the
// shared corner (a Schur complement), solves that small dense system and
// substitutes back, so work and memory grow linearly with the series.
//
// The solver space is the plain fit's: a parameter with an open upper bound
// is searched as log10(v - lo), the others linearly, and a step that leaves
// a parameter's range is cut back to it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "fit/cancel.hpp"
#include "fit/outcome.hpp"

namespace zetrion {

struct SeriesSpectrum {
    std::span<const double> frequencies;  // Hz
    std::span<const Cx> impedances;
    std::vector<double> point_weights;    // empty: the request's weighting decides
};

struct SharedFitRequest {
    const SeriesList* circuit = nullptr;
    std::vector<SeriesSpectrum> spectra;
    Weighting weighting = Weighting::Modulus;
    // One entry per circuit parameter each; empty: nothing shared, nothing
    // held, the elements' own bounds.
    std::vector<bool> shared;
    std::vector<bool> held;
    std::vector<Bounds> limits;
    // One starting vector per spectrum. A shared parameter starts at the
    // median of its starts over the series (taken in solver space); a held
    // one keeps each spectrum's own value.
    std::vector<std::vector<double>> starts;
    std::uint32_t max_iterations = 200;  // Jacobians
    double ftol = 1e-10;
    double xtol = 1e-10;
    double gtol = 1e-10;
    const Cancellation* cancel = nullptr;
};

struct SharedFitOutcome {
    std::vector<std::vector<double>> params;  // per spectrum, every parameter
    // s^2 (J^T J)^-1 of the whole problem, s^2 = total chi-square / dof,
    // J the central-difference Jacobian in the parameters themselves. Held
    // parameters report 0; every entry is NaN when J^T J is singular or
    // there are no degrees of freedom.
    std::vector<std::vector<double>> stderr_;
    std::vector<double> chi_square;  // per spectrum
    double total_chi_square = 0.0;
    std::size_t residuals = 0;
    std::size_t unknowns = 0;
    std::uint64_t iterations = 0;
    std::uint64_t evaluations = 0;  // residual evaluations of single spectra
    bool success = false;
    std::string stop;  // why the solver stopped, in words
};

using SharedFitResult = std::variant<SharedFitOutcome, FitError>;

// Checks the request (sizes, bounds, finite starts) and solves it.
SharedFitResult run_shared_fit(const SharedFitRequest& req);

}  // namespace zetrion
