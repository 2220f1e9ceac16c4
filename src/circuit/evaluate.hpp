// Impedance of a circuit tree: from the values stored in its leaves, or from
// a flat parameter vector read in leaf order; rebuilding a tree from such a
// vector; and the frequency sweep.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "circuit/tree.hpp"

namespace zetrion {

// Sum of the nodes; a parallel group is 1 / sum(1 / Z_branch).
Cx impedance(const SeriesList& s, double w);

// Draws each leaf's values from the stream; nothing when the stream runs out
// (kNotEnoughValues), in which case no partial result exists.
std::optional<Cx> series_impedance_with_params(const SeriesList& s, ParamStream& stream, double w);

// Same as above for a vector already known to hold param_count(s) values or
// more: the walk then needs no checks.
Cx impedance_with_params_unchecked(const SeriesList& s, const double*& p, double w);

// Copy of the tree whose leaves take their values from `values` in leaf order
// (kinds and labels kept). `values` must hold at least param_count(s) entries.
SeriesList rebuild(const SeriesList& s, std::span<const double> values);

// Sweeps with at least this many frequencies run on the worker pool.
inline constexpr std::size_t kParallelSweepMin = 1000;

// out[i] = impedance at frequencies_hz[i]; `out` has room for all of them.
void sweep(const SeriesList& s, std::span<const double> frequencies_hz, Cx* out);

}  // namespace zetrion
