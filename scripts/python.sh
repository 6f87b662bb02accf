# Sourced by setup.sh and test.sh: picks the interpreter and its virtual environment.
# Python 3.13 by default, in .venv; QUARVEL_PYTHON=/path/to/pythonX.Y picks another
# supported one (3.10 to 3.13), whose environment is .venv-X.Y unless it is 3.13.

find_python() {
    local candidate
    if [ -n "${QUARVEL_PYTHON:-}" ]; then
        if ! "$QUARVEL_PYTHON" -c 'import sys; sys.exit(not (3, 10) <= sys.version_info[:2] <= (3, 13))' 2>/dev/null; then
            echo "error: QUARVEL_PYTHON=$QUARVEL_PYTHON is not a Python 3.10 to 3.13 interpreter." >&2
            return 1
        fi
        echo "$QUARVEL_PYTHON"
        return 0
    fi
    for candidate in /root/.pyenv/versions/3.13*/bin/python3.13 \
        /usr/bin/python3.13 /usr/local/bin/python3.13 \
        "$(command -v python3.13 2>/dev/null || true)"; do
        [ -n "$candidate" ] && [ -x "$candidate" ] || continue
        if "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    echo "error: no Python 3.13 interpreter found (looked in pyenv, /usr/bin, /usr/local/bin and PATH)." >&2
    echo "Install Python 3.13 or point QUARVEL_PYTHON at a Python 3.10 to 3.13." >&2
    return 1
}

PYTHON=$(find_python) || exit 1
PYTHON_VERSION=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
if [ "$PYTHON_VERSION" = 3.13 ]; then VENV=.venv; else VENV=".venv-$PYTHON_VERSION"; fi
