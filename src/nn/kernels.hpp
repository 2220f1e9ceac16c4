// The guesser network's compiled kernels: which of them this build carries
// and the running processor can execute, and which one Guesser::forward uses
// (the fastest, chosen at load). Pinning another one is for tests and
// benchmarks; it applies to every thread from the next forward on.
#pragma once

#include <string_view>
#include <vector>

namespace zetrion::nn_kernels {

// Runnable here, fastest first: "avx512", "avx2", "sse2" on x86-64; "neon"
// on aarch64; "vector128" elsewhere with GCC or Clang; always "scalar" last.
std::vector<std::string_view> available();
std::string_view active();
// False, and nothing changed, for a kernel not in available().
bool use(std::string_view name);
// Back to the fastest.
void use_best();

}  // namespace zetrion::nn_kernels
