#!/usr/bin/env bash
# Runs every script in examples/ with fast settings, and the command line on
# the README's field file; fails on the first error. Needs the package set up
# (bash scripts/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for script in examples/*.py; do
    [ "$script" = examples/my_field.py ] && continue  # a field file, not a script
    echo "== $script"
    .venv/bin/python "$script" --fast
done
echo "== quarvel mesh examples/my_field.py:field"
.venv/bin/quarvel mesh examples/my_field.py:field --max-depth 5 -o "$out/field.stl"
.venv/bin/quarvel mesh examples/my_field.py:rounded --voxel-size 0.05 -o "$out/rounded.ply"
