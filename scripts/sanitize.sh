#!/usr/bin/env bash
# Builds the extension and the core tests with AddressSanitizer and
# UndefinedBehaviorSanitizer in build/asan*, then runs the C++ core tests (with
# leak detection) and the whole Python suite against the sanitized module.
# Any finding fails the run.
#
#   bash scripts/sanitize.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

echo "== sanitized C++ core tests"
cmake -S . -B build/asan-core -DQUARVEL_BUILD_MODULE=OFF -DQUARVEL_BUILD_TESTS=ON \
    -DQUARVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/asan-core -j "$jobs" >/dev/null
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build/asan-core/quarvel_core_tests

echo "== sanitized module under pytest"
cmake -S . -B build/asan-module -DQUARVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/asan-module -j "$jobs" >/dev/null

# The interpreter is not linked against libstdc++ or the sanitizer runtime, so
# both are preloaded (otherwise the first C++ throw aborts). The interpreter
# keeps memory allocated at exit, so leak detection is off here; leaks are
# checked by the core run above and by the reference-count tests.
asan_rt=$(g++ -print-file-name=libasan.so)
stdcxx=$(g++ -print-file-name=libstdc++.so.6)
cd tests
LD_PRELOAD="$asan_rt $stdcxx" PYTHONMALLOC=malloc \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONPATH="$PWD/../build/asan-module" QUARVEL_EXPECT_MODULE_DIR="$PWD/../build/asan-module" \
    ../.venv/bin/python -m pytest -q -p no:cacheprovider -x "$@" python
