#!/usr/bin/env bash
# Creates .venv in the repository root with Python 3.13, then builds and installs
# the package with its test dependencies. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

find_python() {
    local candidate
    for candidate in "${QUARVEL_PYTHON:-}" \
        /root/.pyenv/versions/3.13*/bin/python3.13 \
        /usr/bin/python3.13 /usr/local/bin/python3.13 \
        "$(command -v python3.13 2>/dev/null || true)"; do
        [ -n "$candidate" ] && [ -x "$candidate" ] || continue
        if "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

if ! PYTHON=$(find_python); then
    echo "error: no Python 3.13 interpreter found (looked in pyenv, /usr/bin, /usr/local/bin and PATH)." >&2
    echo "Install Python 3.13 or point QUARVEL_PYTHON at one." >&2
    exit 1
fi

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
    echo "setting up .venv with $PYTHON"
    rm -rf .venv
    "$PYTHON" -m venv .venv
fi

export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet ".[test,preview]"
