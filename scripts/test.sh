#!/usr/bin/env bash
# Sets up, checks formatting and lint, builds and runs every test: the C++
# tests of the internals (also under ThreadSanitizer for the concurrency
# types), the Python tests, and the Python tests once more against an
# AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
PYTHON=${PYTHON:-python3}

# Style first: an unformatted file or a linter finding fails the run at once.
PYTHON="$PYTHON" scripts/lint.sh

cmake -S . -B build/cpp-tests -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCORVANE_BUILD_TESTS=ON -DCORVANE_BUILD_MODULE=OFF >/dev/null
ninja -C build/cpp-tests corvane_cpp_tests
ctest --test-dir build/cpp-tests --output-on-failure

cmake -S . -B build/cpp-tests-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVANE_BUILD_TESTS=ON -DCORVANE_BUILD_MODULE=OFF -DCORVANE_SANITIZE=thread >/dev/null
ninja -C build/cpp-tests-tsan corvane_cpp_tests
ctest --test-dir build/cpp-tests-tsan --output-on-failure

"$PYTHON" -m pytest -q tests

PYTHON="$PYTHON" scripts/sanitize.sh
