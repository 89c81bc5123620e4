#!/usr/bin/env bash
# Sets up, builds and runs the main job on the bundled example data.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
mkdir -p build
${PYTHON:-python3} examples/train_example.py build/example_model.json
