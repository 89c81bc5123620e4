#!/usr/bin/env bash
# Runs the Python tests against the module built with AddressSanitizer and
# with UndefinedBehaviorSanitizer (sanitizer builds use the system allocator
# so that every allocation is seen). Not part of CI: slower, developer tool.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
# The real interpreter, not a launcher script: LD_PRELOAD must reach it.
REAL_PYTHON=$("$PYTHON" -c 'import sys; print(sys.executable)')
for sanitizer in address undefined; do
  build="build/sanitize-$sanitizer"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCORVANE_SANITIZE="$sanitizer" -DPython_EXECUTABLE="$REAL_PYTHON" >/dev/null
  ninja -C "$build" corvane
  case "$sanitizer" in
    address) runtime=$(gcc -print-file-name=libasan.so) ;;
    undefined) runtime=$(gcc -print-file-name=libubsan.so) ;;
  esac
  # Python itself keeps memory until exit; leak reports would be its own.
  LD_PRELOAD="$runtime" ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    PYTHONPATH="$build" "$REAL_PYTHON" -m pytest -q -p no:cacheprovider tests -k "not audit"
done
