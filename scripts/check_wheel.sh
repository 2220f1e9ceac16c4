#!/usr/bin/env bash
# Builds a wheel with `pip wheel`, then, for NumPy 1.26 and for NumPy 2.x,
# installs it in a fresh virtual environment with nothing but that
# environment on PATH (no compiler, no CMake: binaries only) and runs
# scripts/wheel_smoke.py there: an evaluation, a fit with the learned guess of
# a measured spectrum, and a synthetic fit recovered to 1e-4.
#
#   bash scripts/check_wheel.sh              # wheel and environments under _build_wheel
#
# Needs network access to PyPI for the environments' packages. About 2-3
# minutes, most of it the build.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
work=${BUILD_DIR:-_build_wheel}
python=${PYTHON:-python3}
rm -rf "$work/dist"
mkdir -p "$work/dist"

start=$(date +%s)
"$python" -m pip wheel -q --no-deps -w "$work/dist" . >/dev/null
built=$(date +%s)
wheel=$(ls "$work"/dist/zetrion-*.whl)
echo "built $(basename "$wheel") in $((built - start)) s"
# The licence travels in the wheel's metadata.
"$python" - "$wheel" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
lic = [n for n in names if "/licenses/" in n]
assert any(n.endswith("/LICENSE") for n in lic), names
meta = zipfile.ZipFile(sys.argv[1]).read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
assert "License-Expression: MIT" in meta, meta[:500]
print("licence files in the wheel:", ", ".join(n.split("/licenses/")[1] for n in lic))
PY

for numpy in "numpy==1.26.*" "numpy>=2"; do
  env_dir="$work/env-$(echo "$numpy" | tr -c 'a-z0-9.\n' '_')"
  rm -rf "$env_dir"
  "$python" -m venv "$env_dir"
  env_dir=$(cd "$env_dir" && pwd)
  # Only the environment's own programs from here on.
  run() { env -u CC -u CXX -u CMAKE_GENERATOR PATH="$env_dir/bin" "$@"; }
  run "$env_dir/bin/python" -c "
import shutil, sys
found = [t for t in ('cc', 'c++', 'gcc', 'g++', 'clang', 'clang++', 'cmake', 'ninja', 'make') if shutil.which(t)]
sys.exit(f'on PATH: {found}' if found else 0)"
  t0=$(date +%s)
  run "$env_dir/bin/python" -m pip install -q --only-binary :all: "$wheel" "$numpy"
  echo "installed with $numpy in $(( $(date +%s) - t0 )) s"
  (cd "$env_dir" && run "$env_dir/bin/python" "$repo/scripts/wheel_smoke.py")
done
echo "wheel check passed in $(( $(date +%s) - start )) s"
