#!/usr/bin/env bash
# Builds the extensions and the core tests with AddressSanitizer and
# UndefinedBehaviorSanitizer in build/asan-core and build/asan-module, then runs
# the C++ core tests (with leak detection) and the whole Python suite against
# the sanitized module. Any finding fails the run (non-zero exit).
#
#   bash scripts/sanitize.sh [pytest arguments]
#
# Needs gcc (its libasan and libstdc++) and a Python 3.13 interpreter; tested
# with gcc 12 and pyenv's Python 3.13.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

# Every finding aborts the process that made it: abort_on_error for ASan,
# halt_on_error (with -fno-sanitize-recover at compile time) for UBSan.
ubsan_options="print_stacktrace=1:halt_on_error=1"

echo "== sanitized C++ core tests"
cmake -S . -B build/asan-core -DQUARVEL_BUILD_MODULE=OFF -DQUARVEL_BUILD_TESTS=ON \
    -DQUARVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/asan-core -j "$jobs" >/dev/null
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS="$ubsan_options" \
    build/asan-core/quarvel_core_tests

echo "== sanitized module under pytest"
cmake -S . -B build/asan-module -DQUARVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/asan-module -j "$jobs" >/dev/null

# The interpreter is linked against neither libstdc++ nor the sanitizer
# runtime, so both are preloaded (the runtime must come first, and without
# libstdc++ the first C++ throw aborts). PYTHONMALLOC=malloc puts the
# interpreter's own allocations under ASan too. The interpreter keeps memory
# allocated at exit, so leak detection is off here; leaks are checked by the
# core run above and by the reference-count and memory tests of the suite.
# Subprocesses started by the tests inherit all of this. The build tree holds
# a copy of the package beside the extension, so the package tests run the
# sanitized core too.
asan_rt=$(g++ -print-file-name=libasan.so)
stdcxx=$(g++ -print-file-name=libstdc++.so.6)
for lib in "$asan_rt" "$stdcxx"; do
    if [ ! -e "$lib" ]; then
        echo "error: $lib not found (gcc's sanitizer runtime and libstdc++ are needed)" >&2
        exit 1
    fi
done
module_dir="$PWD/build/asan-module"
export LD_PRELOAD="$asan_rt $stdcxx" PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=0
export UBSAN_OPTIONS="$ubsan_options"
export PYTHONPATH="$module_dir"

# The tests must run the sanitized modules, not the ones installed in .venv.
cd tests
../.venv/bin/python - "$module_dir" <<'EOF'
import os, sys
import _quarvel_rs
import quarvel._engine
for module, folder in ((_quarvel_rs, sys.argv[1]), (quarvel._engine, sys.argv[1])):
    where = os.path.dirname(os.path.realpath(module.__file__))
    if where != os.path.realpath(folder):
        sys.exit(f"error: {module.__name__} was imported from {where}, not from {folder}")
EOF
../.venv/bin/python -m pytest -q -p no:cacheprovider -x "$@" python
