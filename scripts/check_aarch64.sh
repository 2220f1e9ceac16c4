#!/usr/bin/env bash
# Cross-compiles the core and its C++ unit tests for 64-bit ARM Linux and runs
# the tests under qemu-user: the guesser's 128-bit vector kernel becomes
# Advanced SIMD (NEON) there, and the .incbin weights go through the aarch64
# assembler. Needs (Debian, as root): apt-get install g++-aarch64-linux-gnu
# qemu-user doctest-dev; the script installs what is missing when it can.
#
#   bash scripts/check_aarch64.sh            # build folder: _build_aarch64 (reused)
#
# About 4 minutes to build on two cores; the tests take about 1 minute under
# qemu (emulated timings mean nothing).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
build=${BUILD_DIR:-_build_aarch64}

need=()
command -v aarch64-linux-gnu-g++ >/dev/null || need+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null || need+=(qemu-user)
[ -f /usr/include/doctest/doctest.h ] || need+=(doctest-dev)
. scripts/packages.sh
install_missing "${need[@]}"

start=$(date +%s)
# doctest is header-only: the host's copy serves the target.
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake \
      -DCMAKE_BUILD_TYPE=Release -DZETRION_PYTHON=OFF -DZETRION_TESTS=ON -DDOCTEST_INCLUDE=/usr/include >/dev/null
cmake --build "$build" -j "$jobs" >"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }
grep -A3 "warning:" "$build/build.log" || true
built=$(date +%s)
file "$build/zetrion_cpp_tests" | grep -q "ARM aarch64" || { echo "not an aarch64 binary" >&2; exit 1; }
echo "built for aarch64 in $((built - start)) s"
ctest --test-dir "$build" --output-on-failure
echo "aarch64 C++ suite passed under qemu in $(( $(date +%s) - built )) s"
