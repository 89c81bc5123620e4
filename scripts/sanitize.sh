#!/usr/bin/env bash
# Runs the Python tests once against the module built with AddressSanitizer
# and UndefinedBehaviorSanitizer together (sanitizer builds use the system
# allocator so that every allocation is seen). Any sanitizer report stops the
# process at once, which fails the run. Part of scripts/test.sh (and so CI);
# needs the environment that scripts/setup.sh makes.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$ROOT"
# The real interpreter, not a launcher script: LD_PRELOAD must reach it.
REAL_PYTHON=$("$PYTHON" -c 'import sys; print(sys.executable)')
build=build/sanitize
build_sanitized_module() {
  [ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=address,undefined \
    -DPython_EXECUTABLE="$REAL_PYTHON"
  ninja -C "$build"
}
step "building the modules with AddressSanitizer and UndefinedBehaviorSanitizer"
quietly sanitize build_sanitized_module
# The Python layer from the working tree with the modules of this build
# beside it, as an installed package would have them.
site="$build/site"
rm -rf "$site"
mkdir -p "$site/corvane_learn"
ln -s "$PWD"/python/corvane_learn/*.py "$site/corvane_learn/"
ln -s "$PWD/$build"/corvane_learn/_core*.so "$site/corvane_learn/"
ln -s "$PWD/$build"/corvane*.so "$site/"
step "running the Python tests against them"
# The interpreter is not built with ASan: its runtime must come first, and
# libstdc++ right after it, so that ASan finds the C++ runtime it intercepts
# when other C++ extensions (matplotlib, scikit-learn) throw. Python itself keeps
# memory until exit; leak reports would be its own.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  CORVANE_SANITIZER_BUILD=1 PYTHONPATH="$site" \
  "$REAL_PYTHON" -m pytest -q -p no:cacheprovider tests -k "not audit"
