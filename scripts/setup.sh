#!/usr/bin/env bash
# Installs what building corvane needs and is not there yet, then installs
# corvane itself (with its test and optional extras) into the current Python.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
[ -f /usr/include/mimalloc.h ] || missing+=(libmimalloc-dev)
command -v g++ >/dev/null || missing+=(g++)
if [ ${#missing[@]} -gt 0 ]; then
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

PYTHON=${PYTHON:-python3}
"$PYTHON" -m pip install -q --root-user-action=ignore "scikit-build-core>=0.10" "cmake>=3.26" ninja pytest
source scripts/lint_tools.sh
lint_tools=()
[ -n "$(find_lint_tool clang-format "$CLANG_FORMAT_VERSION")" ] ||
  lint_tools+=("clang-format==$CLANG_FORMAT_VERSION")
[ -n "$(find_lint_tool ruff "$RUFF_VERSION")" ] || lint_tools+=("ruff==$RUFF_VERSION")
if [ ${#lint_tools[@]} -gt 0 ]; then
  "$PYTHON" -m pip install -q --root-user-action=ignore "${lint_tools[@]}"
fi
# pyenv only sees commands that pip just installed (cmake, ninja) after a rehash.
if command -v pyenv >/dev/null; then pyenv rehash || true; fi
"$PYTHON" -m pip install -q --root-user-action=ignore --no-build-isolation ".[test,pandas,plot,progress,dask]"
