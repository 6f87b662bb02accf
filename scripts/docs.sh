#!/usr/bin/env bash
# Builds the documentation (the guide and the API reference from the
# docstrings) into build/docs with Sphinx, treating every warning as an error.
# Installs the 'docs' extra's requirements into .venv first; needs the package
# set up (bash scripts/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
# The extra's requirements only: installing '.[docs]' would rebuild the package.
.venv/bin/python -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["docs"]))' \
    | xargs .venv/bin/python -m pip install --quiet
.venv/bin/python -m sphinx -W --keep-going -q -b html docs build/docs
echo "built build/docs/index.html"
