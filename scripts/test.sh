#!/usr/bin/env bash
# Sets up .venv, or .venv-X.Y for QUARVEL_PYTHON (see setup.sh), then runs the whole test suite: the C++ unit
# tests of the core and the Python tests of the module and the package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/python.sh

echo "== C++ core tests"
cmake -S . -B build/core-tests -DQUARVEL_BUILD_MODULE=OFF -DQUARVEL_BUILD_TESTS=ON \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/core-tests -j "${CMAKE_BUILD_PARALLEL_LEVEL:-2}" >/dev/null
build/core-tests/quarvel_core_tests

echo "== Python tests"
# Run from a neutral directory so that the installed package, not the source tree, is tested.
cd tests && "../$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@" python
