// Weighted residuals of a circuit against a measured spectrum, and their
// central-difference Jacobian.
//
// r[2i] = (Re M_i - Re Z_i) / w_i, r[2i+1] = (Im M_i - Im Z_i) / v_i, where M
// is the model at the candidate parameters and v_i = w_i unless the imaginary
// parts are given weights of their own. Every residual evaluation adds one
// to the fit's evaluation counter, so a Jacobian of m columns adds 2m.
#pragma once

#include <array>
#include <utility>

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "circuit/evaluate.hpp"
#include "circuit/tree.hpp"

namespace zetrion {

enum class Weighting { Modulus, Unit };

// The names users call them by, in the order error messages list them.
inline constexpr std::array<std::pair<Weighting, std::string_view>, 2> kWeightings{{
    {Weighting::Modulus, "modulus"},
    {Weighting::Unit, "unit"},
}};

// Weightings the companion's engine offers beside those above (Circuit.fit
// does not take them), each a standard deviation of every point's real and
// imaginary part read from the measurement:
// - "proportional": each part relative to itself (Macdonald's proportional
//   weighting, 1/Z'^2 and 1/Z''^2 on the squared residuals): sigma_re =
//   |Z'_i|, sigma_im = |Z''_i|, neither below 1e-3 |Z_i| so that a part
//   crossing zero does not take over the fit;
// - "boukamp": Boukamp's modulus weighting, 1/|Z_i|^2 on the squared
//   residuals of both parts (sigma = |Z_i|): the same objective as "modulus".
inline constexpr std::array<std::string_view, 2> kEngineWeightings{"proportional", "boukamp"};
inline constexpr double kProportionalFloor = 1e-3;

// The standard deviations of the real parts and of the imaginary parts of an
// engine weighting; nothing for another name.
std::optional<std::pair<std::vector<double>, std::vector<double>>> engine_weights(std::span<const Cx> z,
                                                                                   std::string_view name);

// "modulus" or "unit", exact.
std::optional<Weighting> parse_weighting(std::string_view s);
// unknown weight scheme "abs", expected "modulus" or "unit"
std::string weighting_error(std::string_view s);

// Unit: 1. Modulus: max(|Z_i|, 1e-30), NaN moduli giving 1e-30.
std::vector<double> compute_weights(std::span<const Cx> z, Weighting w);

using EvalCounter = std::atomic<std::uint64_t>;

struct Spectrum {
    std::span<const double> omega;  // rad/s
    std::span<const Cx> z;          // measured
    std::span<const double> weights;
    // log of each omega, or empty: lets repeated evaluations skip pow().
    std::span<const double> log_omega{};
    // The imaginary parts' weights where they differ from the real parts';
    // empty: `weights` serves both.
    std::span<const double> weights_im{};
};

// Writes 2n residuals into out; false when p holds fewer values than the
// circuit needs (nothing meaningful is written then).
bool residuals(const SeriesList& tree, std::span<const double> p, const Spectrum& data, EvalCounter& counter,
               double* out);

// The same as `residuals`, for callers that evaluate one circuit many times:
// the tree walk's scratch space and the parameter count are set up once, so
// an evaluation allocates nothing. One instance per thread.
class ResidualEvaluator {
public:
    ResidualEvaluator(const SeriesList& tree, const Spectrum& data);
    bool operator()(std::span<const double> p, EvalCounter& counter, double* out);
    // 0.5 * sum of squared residuals, summed in residual order (the same
    // value as summing the output of operator()); NaN on too few parameters.
    double cost(std::span<const double> p, EvalCounter& counter);

private:
    template <class Sink>
    bool run(std::span<const double> p, EvalCounter& counter, Sink&& sink);

    BlockEvaluator eval_;
    Spectrum data_;
    std::size_t needed_;
};

// The Jacobian computes its first column on the calling thread and times it;
// the remaining columns go to the worker pool only when they would take at
// least this long serially. Waking the workers costs tens of microseconds
// here, so smaller Jacobians stay on the calling thread (bench/fit_speed.cpp
// measures both paths).
inline constexpr double kParallelJacobianMinMicros = 60.0;

// Marks a fit in progress on this thread for as long as it lives. While
// fits run on several threads at once, the callers already keep the
// processors busy and their Jacobians stay on their own threads. Counted
// once per fit rather than once per Jacobian, so that concurrent fits do not
// pass a shared cache line back and forth dozens of times each.
class ConcurrentFit {
public:
    ConcurrentFit();
    ~ConcurrentFit();
    ConcurrentFit(const ConcurrentFit&) = delete;
    ConcurrentFit& operator=(const ConcurrentFit&) = delete;
};

// m columns of 2n entries, column-major into out (out[k * 2n + i]); false on
// too few parameters.
bool jacobian_columns(const SeriesList& tree, std::span<const double> p, const Spectrum& data,
                      EvalCounter& counter, double* out);

// A cheaper Jacobian for callers that take many of one circuit only to head
// for a basin (screening runs), never for a whole fit's: forward differences
// (step forward_step), and since a top-level series node's impedance adds to
// the rest unchanged, each column evaluates only the node its parameter lives
// in: the node's difference quotient over the point's weight. Agrees with
// jacobian_columns to about sqrt(eps) of each column's scale; counts one
// evaluation per column; serial. One instance per thread.
class SplitJacobian {
public:
    SplitJacobian(const SeriesList& tree, const Spectrum& data);
    SplitJacobian(const SplitJacobian&) = delete;
    SplitJacobian& operator=(const SplitJacobian&) = delete;
    // Columns k with skip[k] (when skip is given and long enough) are left
    // zero without an evaluation.
    bool operator()(std::span<const double> p, const std::vector<bool>* skip, EvalCounter& counter, double* out);

private:
    struct Part {
        SeriesList tree;  // one top-level node
        std::size_t offset;
        std::size_t count;
    };
    std::vector<Part> parts_;
    std::vector<BlockEvaluator> evals_;  // one per part, referring to its tree
    Spectrum data_;
    std::size_t needed_;
    std::vector<double> local_;
    std::vector<Cx> plus_, base_;
};

// Forward-difference step of column k: sqrt(eps) * max(|p_k|, 1e-8), a NaN
// |p_k| counting as 1e-8.
double forward_step(double pk);

// Step of column k: cbrt(eps) * max(|p_k|, 1e-8), a NaN |p_k| counting as 1e-8.
double jacobian_step(double pk);

}  // namespace zetrion
