#!/usr/bin/env bash
# Builds the wheel and makes it self-contained: auditwheel copies the shared
# libraries it needs beyond what every Linux has (mimalloc) into the wheel,
# points every native module at that copy and gives it the lowest manylinux
# tag that the glibc symbols of its files allow. Writes dist/corvane-*.whl
# (the earlier ones are removed) and prints its path last.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$ROOT"
scripts/setup.sh

# Same build folder as the installed copy (pyproject.toml), so after set-up
# nothing is compiled again.
step "building the wheel"
rm -rf build/wheel
quietly wheel "$PYTHON" -m pip wheel --no-build-isolation --no-deps -w build/wheel .
built=(build/wheel/corvane-*.whl)

step "repairing it with auditwheel (vendoring mimalloc, manylinux tag)"
mkdir -p dist
rm -f dist/corvane-*.whl
quietly auditwheel "$VENV/bin/auditwheel" repair --plat auto -w dist "${built[0]}"
repaired=(dist/corvane-*.whl)
"$VENV/bin/auditwheel" show "${repaired[0]}" | sed -n '1,/^$/p' | tr -s ' \n' ' ' | fold -s -w 76 |
  sed 's/^/   /'
echo
echo "$ROOT/${repaired[0]}"
