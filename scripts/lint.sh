#!/usr/bin/env bash
# Checks without changing anything: every tracked C++ file is formatted as
# .clang-format says, and ruff finds nothing in the Python files. Fails on
# the first kind of violation found; scripts/format.sh fixes most of them.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lint_tools.sh
require_lint_tools
git ls-files -z '*.cpp' '*.h' | xargs -0 -r "$CLANG_FORMAT" --dry-run --Werror
"$RUFF" check .
