# Sourced by setup.sh, format.sh and lint.sh: the pinned formatter and linter,
# installed from PyPI into the project's environment (env.sh). Pinned because
# another version of either formats or judges the same code differently.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
CLANG_FORMAT_VERSION=18.1.8
RUFF_VERSION=0.14.10

# Prints the path of tool $1 whose --version mentions $2: the one in the
# environment, else one on PATH. Prints nothing when neither matches.
find_lint_tool() {
  local candidate version
  for candidate in "$VENV/bin/$1" "$(command -v "$1" || true)"; do
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
      "run scripts/setup.sh" >&2
    exit 1
  fi
}
