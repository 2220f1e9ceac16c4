// What a fit returns: the outcome with its statistics, or an error.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "circuit/tree.hpp"
#include "fit/cancel.hpp"
#include "fit/residuals.hpp"

namespace zetrion {

struct FitError {
    enum class Kind { LengthMismatch, EmptySpectrum, NoParameters, Solver, UnknownMethod, Cancelled, InvalidLimits };
    Kind kind;
    std::string text;  // solver text or the unknown method name
    std::string message() const;
};

struct FitOutcome {
    SeriesList circuit;  // the input circuit with the final values
    std::vector<std::string> param_names;
    std::vector<double> params;  // clamped into their bounds
    // Over every parameter; a held (fixed) parameter reports 0.
    std::optional<std::vector<double>> stderr_;
    // s^2 (J^T J)^-1 over the free parameters in order, row-major; present
    // exactly when stderr_ is.
    std::optional<std::vector<double>> covariance;
    // Combinations of free parameters the data cannot determine (filled when
    // FitData::diagnose is set): unit vectors over the free parameters, in
    // the space where each Jacobian column has unit norm.
    std::vector<std::vector<double>> undetermined;
    std::uint64_t iterations = 0;
    std::uint64_t impedance_evals = 0;
    double cost = 0.0;        // 0.5 * sum r_i^2
    double chi_square = 0.0;  // sum r_i^2
    bool success = false;
};

using FitResult = std::variant<FitOutcome, FitError>;

// Everything a method needs about one measured spectrum, computed once.
struct FitData {
    const SeriesList& tree;
    std::vector<double> omega;
    std::vector<double> log_omega;
    std::span<const Cx> z;
    std::vector<double> weights;
    std::vector<double> weights_im;  // the imaginary parts' own, or empty
    // The elements' own validity bounds; they also decide the solver space
    // (an open upper bound is searched as log10(v - lo)).
    std::vector<Bounds> bounds;
    // The range each parameter may end in: the bounds themselves unless a
    // caller narrows them (restrict()). Kept apart from `bounds` so that a
    // narrowed parameter keeps the solver space it has in a plain fit.
    std::vector<Bounds> limits;
    // Parameters held at their starting value; none unless a caller holds some.
    std::vector<bool> fixed;
    std::vector<double> start;  // the circuit's own values
    std::size_t n;              // number of parameters
    const Cancellation* cancel = nullptr;  // polled by the long-running methods
    bool diagnose = false;                 // the outcome names undetermined combinations

    FitData(const SeriesList& tree, std::span<const double> f_hz, std::span<const Cx> z, Weighting w);
    Spectrum spectrum() const { return {omega, z, weights, log_omega, weights_im}; }
    std::size_t residual_count() const { return 2 * omega.size(); }
    std::size_t free_count() const;
    // Narrows the limits and holds some parameters (sizes n; a held one
    // stays at its value in `start`). False when a range is empty or lies
    // outside the element's bounds, or a held value is outside its range.
    bool restrict(std::span<const Bounds> user_limits, const std::vector<bool>& held);
    // Whether parameter i ends in a range narrower than its element's.
    bool narrowed(std::size_t i) const { return limits[i].lo != bounds[i].lo || limits[i].hi != bounds[i].hi; }
};

// The three checks every method starts with.
std::optional<FitError> check_inputs(const SeriesList& tree, std::size_t n_freq, std::size_t n_z);

// 0.5 * sum of squared residuals at p (one evaluation).
double cost_at(const FitData& d, std::span<const double> p, EvalCounter& counter);

// Statistics of p: clamps it, evaluates cost and Jacobian, and derives
// standard errors from the exact inverse of J^T J.
FitOutcome build_outcome(const FitData& d, std::vector<double> p, bool success, std::uint64_t iterations,
                         EvalCounter& counter);

// Inverse of the n x n row-major matrix a by LU with partial pivoting;
// nothing when a pivot is exactly zero.
std::optional<std::vector<double>> invert(std::vector<double> a, std::size_t n);

// A combination whose scaled singular value is below this fraction of the
// largest changes the residuals by less than a millionth of what the most
// sensitive direction does: the data do not determine it.
inline constexpr double kUndeterminedRatio = 1e-6;

// The combinations of parameters that J^T J (k x k, row-major) leaves
// undetermined: with each parameter scaled so that its diagonal entry is 1,
// the eigenvectors whose eigenvalue is at most ratio^2 times the largest
// (the right singular vectors of the scaled Jacobian with a singular value
// at most `ratio` times the largest), and every parameter with a zero
// diagonal entry on its own.
std::vector<std::vector<double>> undetermined_combinations(const std::vector<double>& jtj, std::size_t k,
                                                           double ratio);

}  // namespace zetrion
