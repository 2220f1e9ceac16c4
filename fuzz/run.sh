#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for SECONDS (default 60) from
# its seed corpus in fuzz/corpus/<target>. New inputs the fuzzer finds go to
# _fuzz_work/<target> (not kept); a crash leaves its input in _fuzz_work.
#
#   bash fuzz/run.sh [SECONDS] [TARGET...]      targets: notation weights
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(notation weights)

san="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B _build_fuzz -DCMAKE_CXX_COMPILER=clang++ -DZETRION_PYTHON=OFF -DZETRION_FUZZ=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g" "-DCMAKE_CXX_FLAGS=$san" \
      "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" >/dev/null
cmake --build _build_fuzz -j "${JOBS:-2}" --target $(printf 'fuzz_%s_lf ' "${targets[@]}") >/dev/null

export ASAN_OPTIONS="allocator_may_return_null=1:${ASAN_OPTIONS:-}"
for t in "${targets[@]}"; do
  work=_fuzz_work/$t
  mkdir -p "$work"
  echo "== fuzz_$t for $seconds s"
  "_build_fuzz/fuzz_${t}_lf" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 \
      -artifact_prefix="$work/" -print_final_stats=1 "$work" "fuzz/corpus/$t" 2>&1 | tail -25
done
