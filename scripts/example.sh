#!/usr/bin/env bash
# Sets up (scripts/setup.sh: the project's environment, .venv unless one is
# active), builds and runs the main job on the bundled example data.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$ROOT"
scripts/setup.sh
mkdir -p build
step "training on examples/data/uplift_example.csv"
"$PYTHON" examples/train_example.py build/example_model.json
