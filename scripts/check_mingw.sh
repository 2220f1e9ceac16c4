#!/usr/bin/env bash
# Compiles every source of the core, and links the C++ unit tests, for 64-bit
# Windows with MinGW-w64 (GCC, POSIX threads): the Windows side of the
# platform file, the PE-safe generated weights source, the guesser's x86
# kernels and their run-time choice. Where Wine is installed (apt-get install
# wine64) the tests then run under it, about 10 s.
# Needs (Debian, as root): apt-get install g++-mingw-w64-x86-64-posix
# doctest-dev; the script installs what is missing when it can.
#
#   bash scripts/check_mingw.sh              # build folder: _build_mingw (reused)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
build=${BUILD_DIR:-_build_mingw}

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
[ -f /usr/include/doctest/doctest.h ] || need+=(doctest-dev)
. scripts/packages.sh
install_missing "${need[@]}"

start=$(date +%s)
# doctest's header is copied alone: pointing the cross compiler at the host's
# /usr/include would bring in Linux system headers.
mkdir -p "$build/doctest-include/doctest"
cp /usr/include/doctest/*.h "$build/doctest-include/doctest/"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake \
      -DCMAKE_BUILD_TYPE=Release -DZETRION_PYTHON=OFF -DZETRION_TESTS=ON \
      -DDOCTEST_INCLUDE="$(pwd)/$build/doctest-include" >/dev/null
# Any error fails the run, with the compiler's output; warnings are shown.
cmake --build "$build" -j "$jobs" >"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }
grep -A3 "warning:" "$build/build.log" || true
sources=$(find "$build/CMakeFiles/zetrion_core.dir" -name '*.obj' -o -name '*.o' | grep -c .)
file "$build/zetrion_cpp_tests.exe" | grep -q "PE32+ executable" || { echo "no Windows test program" >&2; exit 1; }
echo "mingw-w64: $sources core objects and zetrion_cpp_tests.exe built in $(( $(date +%s) - start )) s"

wine=$(command -v wine64 || command -v wine || { [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64; } || true)
if [ -n "$wine" ]; then
  t0=$(date +%s)
  WINEDEBUG=-all WINEPREFIX="$(pwd)/$build/wineprefix" "$wine" "$build/zetrion_cpp_tests.exe" >"$build/wine.log" 2>&1 \
    || { cat "$build/wine.log"; exit 1; }
  grep -E "test cases|assertions" "$build/wine.log"
  echo "the Windows C++ suite passed under Wine in $(( $(date +%s) - t0 )) s"
else
  echo "Wine not installed (apt-get install wine64): the Windows tests were built, not run"
fi
