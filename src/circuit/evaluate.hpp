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

// Sum of the nodes with each leaf's values drawn in leaf order from p (which
// moves past them), for a vector already known to hold param_count(s)
// values or more: the walk needs no checks.
Cx impedance_with_params_unchecked(const SeriesList& s, const double*& p, double w);

// Copy of the tree whose leaves take their values from `values` in leaf order
// (kinds and labels kept). `values` must hold at least param_count(s) entries.
SeriesList rebuild(const SeriesList& s, std::span<const double> values);

// Evaluates a tree over blocks of frequencies, one element kind at a time:
// the same arithmetic as the point-wise walk, in the same order per point,
// without a call and a kind switch per element and point. Holds scratch
// space sized by the tree's nesting, so one evaluator serves one thread.
class BlockEvaluator {
public:
    static constexpr std::size_t kBlock = 64;

    explicit BlockEvaluator(const SeriesList& s);
    // out[i] = impedance at w[i] from the stored values.
    void stored(const double* w, std::size_t n, Cx* out);
    // The same from the flat vector p (at least param_count(s) values). With
    // logw (log of each w, for callers that evaluate one set of frequencies
    // many times) a CPE's omega^alpha is exp(alpha * log omega) instead of
    // pow: a few times cheaper, and within a few ulps of it.
    void with_params(const double* p, const double* w, std::size_t n, Cx* out, const double* logw = nullptr);

private:
    const SeriesList& tree_;
    std::vector<Cx> scratch_;
};

// Sweeps with at least this many frequencies run on the worker pool.
inline constexpr std::size_t kParallelSweepMin = 1000;

// out[i] = impedance at frequencies_hz[i]; `out` has room for all of them.
void sweep(const SeriesList& s, std::span<const double> frequencies_hz, Cx* out);

// The same on the calling thread, whatever the size.
void sweep_serial(const SeriesList& s, std::span<const double> frequencies_hz, Cx* out);

}  // namespace zetrion
