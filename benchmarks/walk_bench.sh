#!/usr/bin/env bash
# Builds and runs the C++ walk benchmark: the serving case's tree walk alone,
# without Python or row conversion, with 1 thread and with every processor.
# Usage: benchmarks/walk_bench.sh [repeats] [model.json]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/walk-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCORVANE_BUILD_MODULE=OFF -DCORVANE_BUILD_BENCHMARKS=ON >/dev/null
ninja -C build/walk-bench corvane_walk_bench >/dev/null
build/walk-bench/corvane_walk_bench "$@"
