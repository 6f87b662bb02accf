#!/usr/bin/env bash
# A symbolised profile of one benchmark case on one thread: builds the module
# with symbols into build/prof, runs the case through bench/peers.py with that
# build imported, and prints where the time went. See bench/profile.md.
#
#   bash bench/profile.sh [TOOL [SHAPE [DEPTH]]]     (default: extract_mesh sphere 9)
set -eu  # no pipefail: the reports below are cut short by head on purpose
cd "$(dirname "$0")/.."
tool=${1:-extract_mesh} shape=${2:-sphere} depth=${3:-9}
out=build/prof/out
mkdir -p "$out"

# The shipped optimisation level (Release, -O3) plus symbols, and frame pointers
# so that perf can walk call stacks cheaply.
cmake -S . -B build/prof -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="-g -fno-omit-frame-pointer" \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/prof -j "${CMAKE_BUILD_PARALLEL_LEVEL:-2}" >/dev/null
module=$(basename build/prof/_quarvel_rs*.so)

# PYTHONPATH comes before site-packages: this build shadows the installed module.
export PYTHONPATH="$PWD/build/prof" RAYON_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1
run=(.venv/bin/python bench/peers.py --case "[\"$tool\", \"$shape\", $depth, 1]")

report() {
    perf report -i "$out/perf.data" --stdio -g none "$@" 2>/dev/null | grep -v -e '^#' -e '^$' | cut -c1-160
}

if perf record -q -o /dev/null true 2>/dev/null; then
    perf record -q -g -o "$out/perf.data" "${run[@]}"
    echo
    echo "== share of samples by library (module, kernel, field = numpy/libm/openblas, interpreter = libpython)"
    report --no-children --sort dso | head -8
    echo "== hottest functions, own time"
    report --no-children --sort dso,symbol | head -25
    echo "== the module's functions, including what they cause in the kernel (page faults)"
    report --children --sort symbol --dsos "$module" | head -20
else
    echo "perf cannot sample here; counting instructions with callgrind instead (about 50x slower)" >&2
    valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" \
        --toggle-collect='*extract_mesh_impl*' "${run[@]}"
    echo
    callgrind_annotate --inclusive=no "$out/callgrind.out" | sed -n '/^Ir/,$p' | head -30 | cut -c1-160
fi
