#!/usr/bin/env bash
# The whole gate (what CI runs): sets up, checks formatting and lint, builds
# and runs every test: the C++ tests of the internals (also under
# ThreadSanitizer for the concurrency types), the Python tests (with the
# allocation-audit build of the module), the Python tests once more against
# an AddressSanitizer + UndefinedBehaviorSanitizer build, and the
# self-contained wheel, trained with in a fresh environment while the
# system's mimalloc is hidden.
#
# --quick: the loop to run while working. No sanitizer builds and no wheel,
# the long fuzz and stress runs shortened; everything else as above.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$ROOT"
quick=0
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  *)
    echo "usage: scripts/test.sh [--quick]" >&2
    exit 2
    ;;
esac

scripts/setup.sh

# Style first: an unformatted file or a linter finding fails the run at once.
step "checking formatting and lint"
scripts/lint.sh

# $1: build folder; the rest: CMake options. Configures once, then builds
# only what changed.
build_cpp_tests() {
  local dir=$1
  shift
  [ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja -DCORVANE_BUILD_TESTS=ON \
    -DCORVANE_BUILD_MODULE=OFF "$@"
  ninja -C "$dir" corvane_cpp_tests
}

step "building the C++ tests"
quietly cpp-tests build_cpp_tests build/cpp-tests -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build/cpp-tests --output-on-failure

if [ "$quick" = 0 ]; then
  step "building the C++ tests with ThreadSanitizer"
  quietly cpp-tests-tsan build_cpp_tests build/cpp-tests-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCORVANE_SANITIZE=thread
  ctest --test-dir build/cpp-tests-tsan --output-on-failure
fi

# The modules once more, aborting on any free of memory mimalloc did not
# hand out and counting live allocations (tests/test_stress.py runs it).
build_audit_module() {
  [ -f build/audit/build.ninja ] || cmake -S . -B build/audit -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DCORVANE_ALLOC_AUDIT=ON -DPython_EXECUTABLE="$PYTHON"
  ninja -C build/audit
}
step "building the allocation-audit module"
quietly audit build_audit_module

step "running the Python tests"
CORVANE_AUDIT_MODULE_DIR=$ROOT/build/audit CORVANE_QUICK_TESTS=$quick \
  "$PYTHON" -m pytest -q tests

if [ "$quick" = 0 ]; then
  scripts/sanitize.sh
  scripts/wheel_check.sh
fi
