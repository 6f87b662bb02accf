#!/usr/bin/env bash
# Creates .venv in the repository root with Python 3.13 (or, with
# QUARVEL_PYTHON=/path/to/pythonX.Y, .venv-X.Y with that Python), then builds
# and installs the package with its test dependencies. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh

if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c "import sys; sys.exit('%d.%d' % sys.version_info[:2] != '$PYTHON_VERSION')" 2>/dev/null; then
    echo "setting up $VENV with $PYTHON"
    rm -rf "$VENV"
    "$PYTHON" -m venv "$VENV"
fi

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
"$VENV/bin/python" -m pip install --quiet --upgrade pip
# pip shows nothing of a build unless verbose: keep its whole log, and show the
# compiler's steps ("[12/50] compiling src/...") as they happen.
mkdir -p build
log="build/setup-$PYTHON_VERSION.log"
echo "building and installing quarvel for Python $PYTHON_VERSION (2-3 min; log in $log)"
"$VENV/bin/python" -m pip install -v ".[test,preview]" -Cbuild.verbose=true \
    -Cbuild-dir="build/py$PYTHON_VERSION" >"$log" 2>&1 &
pid=$!
tail -n +1 --pid="$pid" -F "$log" 2>/dev/null \
    | sed -u -n -E -e 's#^ *(\[[0-9]+/[0-9]+\]) .* -c [^ ]*/(src/[^ ]+)$#  \1 compiling \2#p' \
        -e 's#^ *(\[[0-9]+/[0-9]+\]) .* -o ([^ ]+\.(so|a|pyd|dylib))( .*)?$#  \1 linking \2#p' -e 's#^ *(\*\*\* .*)$#\1#p' &
shower=$!
status=0
wait "$pid" || status=$?
wait "$shower" || true  # tail ends with pip
if [ "$status" != 0 ]; then
    tail -n 40 "$log" >&2
    echo "error: the build failed (whole log in $log)" >&2
    exit "$status"
fi
echo "installed into $VENV"
