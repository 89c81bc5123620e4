#!/usr/bin/env bash
# Formats every tracked C++ file in place and applies ruff's automatic fixes.
# What ruff cannot fix itself, scripts/lint.sh reports.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lint_tools.sh
require_lint_tools
git ls-files -z '*.cpp' '*.h' | xargs -0 -r "$CLANG_FORMAT" -i
"$RUFF" check --fix .
