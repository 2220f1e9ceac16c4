#!/usr/bin/env bash
# Installs the project with its test needs and runs every test: the C++ unit
# tests (doctest, through CTest) and the Python suite (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f /usr/include/doctest/doctest.h ]; then
  if command -v apt-get >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq doctest-dev >/dev/null
  fi
fi

python3 -m pip install -q ".[test]"
# PyTorch runs the training pipeline's side of the guesser parity test; the
# test is skipped where it cannot be installed.
python3 -m pip install -q torch==2.13.0 || echo "torch not installed: the PyTorch parity test will be skipped"

build=$(mktemp -d)
trap 'rm -rf "$build"' EXIT
cmake -S . -B "$build" -DZETRION_PYTHON=OFF -DZETRION_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 >/dev/null
ctest --test-dir "$build" --output-on-failure

# Run from outside the source tree so the installed module is the one tested.
cd tests/python
python3 -m pytest -q -p no:cacheprovider .
