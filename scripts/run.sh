#!/usr/bin/env bash
# Sets up .venv (see setup.sh), then meshes the built-in torus with the command
# line, writes the mesh and a preview image to out/, and prints the summary.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
mkdir -p out
.venv/bin/quarvel mesh torus --max-depth 7 -o out/torus.ply --preview out/torus.png
