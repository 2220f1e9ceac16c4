// The multi-start bounded Levenberg-Marquardt fit.
//
// Parameters with an open upper bound are searched as x = log10(v - lo),
// parameters with a finite upper bound linearly (and unbounded inside the
// solver). Nine starting points derived from the circuit's values are tried
// in order of their cost until one ends plausibly; a best result at or beyond
// a finite bound is clamped, those parameters frozen, and the rest re-solved.
//
// Two guards keep bound handling from returning a plainly worse fit:
//  - a run that passes the plausibility test with a closed parameter beyond
//    its bound does not end the pass; the best as it stood then and the best
//    of the whole pass are both pinned, and the lower clamped cost wins;
//  - what a pinned re-solve returns is never worse than the best vector
//    within the bounds that the search met on its way (a start or the end
//    of a run).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "util/total_order.hpp"
#include "fit/lm_solver.hpp"
#include "fit/outcome.hpp"

namespace zetrion {

// A finite upper bound (NaN counts as open).
bool is_closed(const Bounds& b);
std::vector<double> to_solver_space(std::span<const double> v, std::span<const Bounds> bounds);
std::vector<double> physical(std::span<const double> x, std::span<const Bounds> bounds);
// The same into out (room for min(x.size(), bounds.size()) values), for loops
// that must not allocate.
void physical_into(std::span<const double> x, std::span<const Bounds> bounds, double* out);

struct Candidate {
    std::vector<double> params;
    double cost;
};

// The nine candidates around `start`, sorted stably by cost in the total
// order of doubles. Held parameters stay at their start.
std::vector<Candidate> candidate_starting_points(const FitData& d, std::span<const double> start,
                                                EvalCounter& counter);


struct SingleStart {
    std::vector<double> params;  // physical
    bool success;
    std::size_t evaluations;  // the solver's own count
    LmStop stop;
};

// One solver run from x0 (solver space); fixed parameters never move.
// Fails only on a negative tolerance.
std::variant<SingleStart, FitError> levenberg_marquardt_single_start(const FitData& d, std::span<const double> x0,
                                                                     const std::vector<bool>& fixed,
                                                                     const LmSettings& s, EvalCounter& counter);

// The whole fit from `start` (at least d.n values), within d's limits and
// with d's held parameters; the inputs are taken as checked.
FitResult levenberg_marquardt_fit(const FitData& d, std::span<const double> start, const LmSettings& s);

// The whole fit, from the circuit's current values.
FitResult levenberg_marquardt_fit(const SeriesList& tree, std::span<const double> f_hz, std::span<const Cx> z,
                                  Weighting w, const LmSettings& s);

}  // namespace zetrion
