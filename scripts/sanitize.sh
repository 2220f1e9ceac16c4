#!/usr/bin/env bash
# Builds the C++ unit tests and the extension module with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs the C++ tests and the whole Python
# suite against them. Any sanitizer report fails the run (UBSan does not
# recover; ASan stops at its first report).
#
#   bash scripts/sanitize.sh [pytest arguments]
#
# Build folders: _build_asan (C++ tests) and _build_asan_py (the module and
# the companion's engine); both are reused between runs. CPython itself is
# not instrumented, so the ASan runtime is preloaded and leak detection is
# off (the interpreter keeps memory until exit by design).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
jobs=${JOBS:-2}

flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
common=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g"
        "-DCMAKE_CXX_FLAGS=$flags" "-DCMAKE_EXE_LINKER_FLAGS=$flags" "-DCMAKE_SHARED_LINKER_FLAGS=$flags"
        "-DCMAKE_MODULE_LINKER_FLAGS=$flags")

start=$(date +%s)
cmake -S . -B _build_asan -DZETRION_PYTHON=OFF -DZETRION_TESTS=ON "${common[@]}" >/dev/null
cmake --build _build_asan -j "$jobs" >/dev/null
cmake -S . -B _build_asan_py -DZETRION_PYTHON=ON -DZETRION_TESTS=OFF "${common[@]}" \
      -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build _build_asan_py -j "$jobs" >/dev/null
built=$(date +%s)
echo "built in $((built - start)) s"

export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"

_build_asan/zetrion_cpp_tests
cpp_done=$(date +%s)
echo "C++ tests under the sanitizers: $((cpp_done - built)) s"

# libstdc++ is preloaded too: CPython does not link it, and without it the
# ASan runtime finds no __cxa_throw to forward C++ throws to (any C++
# extension that throws, ours or a test dependency's, would abort).
# Tests that the ASan runtime itself cannot run reliably (a fork while
# another thread is inside its allocator) skip themselves when they find
# libasan in LD_PRELOAD, so that a red run always means a fault of ours.
libasan=$(g++ -print-file-name=libasan.so)
libstdcxx=$(g++ -print-file-name=libstdc++.so)
export LD_PRELOAD="$libasan:$libstdcxx${LD_PRELOAD:+:$LD_PRELOAD}"
# The companion package with its own engine module built beside the core:
# a fresh copy of the sources each run, the instrumented _engine inside it.
site="$repo/_build_asan_py/site"
rm -rf "$site"
mkdir -p "$site"
cp -r "$repo/python/zetrion_tools" "$site/zetrion_tools"
cp "$repo"/_build_asan_py/_engine*.so "$site/zetrion_tools/"
export PYTHONPATH="$repo/_build_asan_py:$site${PYTHONPATH:+:$PYTHONPATH}"
cd tests/python
python3 -c "
import zetrion, zetrion_tools._engine as e
assert zetrion.__file__.startswith('$repo/_build_asan_py'), zetrion.__file__
assert e.__file__.startswith('$site'), e.__file__"
python3 -m pytest -q -p no:cacheprovider "$@"
echo "Python suite under the sanitizers: $(($(date +%s) - cpp_done)) s"
