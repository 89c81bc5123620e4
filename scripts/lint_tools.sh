# Sourced by setup.sh, format.sh and lint.sh: the pinned formatter and linter,
# installed from PyPI next to $PYTHON. Pinned because another version of
# either formats or judges the same code differently.
CLANG_FORMAT_VERSION=18.1.8
RUFF_VERSION=0.14.10
PYTHON=${PYTHON:-python3}
LINT_TOOLS_DIR=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')

# Prints the path of tool $1 whose --version mentions $2: the one installed
# next to $PYTHON, else one on PATH. Prints nothing when neither matches.
find_lint_tool() {
  local candidate version
  for candidate in "$LINT_TOOLS_DIR/$1" "$(command -v "$1" || true)"; do
    [ -x "$candidate" ] || continue
    version=$("$candidate" --version 2>/dev/null) || continue
    if [[ $version == *"$2"* ]]; then
      echo "$candidate"
      return
    fi
  done
}

# Sets CLANG_FORMAT and RUFF, or stops with a hint.
require_lint_tools() {
  CLANG_FORMAT=$(find_lint_tool clang-format "$CLANG_FORMAT_VERSION")
  RUFF=$(find_lint_tool ruff "$RUFF_VERSION")
  if [ -z "$CLANG_FORMAT" ] || [ -z "$RUFF" ]; then
    echo "clang-format $CLANG_FORMAT_VERSION and ruff $RUFF_VERSION are needed:" \
      "run scripts/setup.sh (with the same PYTHON)" >&2
    exit 1
  fi
}
