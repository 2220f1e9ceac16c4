// Hooks only the tests and benches call, declared apart from the library's
// own headers (the library defines them; nothing in it or in the bindings
// calls them).
#pragma once

#include <span>

namespace zetrion {

// The Jacobian's cut-over to the worker pool in force (microseconds of
// serial work; kParallelJacobianMinMicros unless changed), and a way to move
// it so that both paths can be timed and checked against each other.
double parallel_jacobian_min_micros();
void set_parallel_jacobian_min_micros(double us);

// The solver's overflow-safe Euclidean norm.
double enorm(std::span<const double> v);

}  // namespace zetrion
