#!/usr/bin/env bash
# Checks that the wheel of scripts/wheel.sh is self-contained (part of
# scripts/test.sh, so CI runs it): it must carry a manylinux tag no higher
# than glibc 2.35, install into a fresh environment outside the source tree,
# and train and predict there through every native module while the
# system's libmimalloc is hidden. The hiding happens in a private mount
# namespace (unshare), so the system itself is never touched.
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$ROOT"
scripts/wheel.sh
wheel=$(ls dist/corvane-*.whl)

# The floor the C++ runtime's unwinder sets (src/glibc_floor says why no
# other symbol may raise it); a module that raises it fails here.
floor=35
tag=$(basename "$wheel" .whl)
tag=${tag##*-}
if ! [[ $tag =~ ^manylinux_2_([0-9]+)_x86_64$ ]] || [ "${BASH_REMATCH[1]}" -gt "$floor" ]; then
  echo "wheel tag $tag: expected manylinux_2_N_x86_64 with N <= $floor" >&2
  echo "symbols that need a newer glibc, per native module:" >&2
  unzip -o -q "$wheel" -d build/wheel/unpacked
  find build/wheel/unpacked -name '*.so' ! -path '*.libs/*' -exec sh -c \
    'echo "$1:"; objdump -T "$1" | grep -E "GLIBC_2\.(3[6-9]|[4-9][0-9])"' _ {} \; >&2
  exit 1
fi

scratch=$(mktemp -d /tmp/corvane-wheel-check.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
base_python=$("$PYTHON" -c 'import sys; print(sys._base_executable)')
step "installing $(basename "$wheel") into a fresh environment ($scratch)"
quietly wheel-check "$base_python" -m venv "$scratch/env"
quietly wheel-check "$scratch/env/bin/python" -m pip install "$wheel"

step "training with it while the system's libmimalloc is hidden"
cp scripts/wheel_smoke.py "$scratch/"
: >"$scratch/empty"
# Every file the loader could take libmimalloc from: its cache's entries and
# the usual library folders (symbolic links resolved, since a bind mount
# covers the file a link names).
mapfile -t hidden < <({
  ldconfig -p | awk '/libmimalloc/ { print $NF }'
  ls /lib/*/libmimalloc*.so* /usr/lib/*/libmimalloc*.so* /usr/local/lib/libmimalloc*.so* 2>/dev/null
} | xargs -r realpath -e | sort -u)
if [ ${#hidden[@]} = 0 ]; then
  echo "no system libmimalloc found: nothing to hide, so the check would prove nothing" >&2
  exit 1
fi
# As root a mount namespace suffices; otherwise a user namespace maps the
# caller to root inside it.
unshare_flags=(--mount)
[ "$(id -u)" = 0 ] || unshare_flags+=(--map-root-user)
cd "$scratch"
unshare "${unshare_flags[@]}" bash -euo pipefail -s -- "${hidden[@]}" <<'INNER'
for file in "$@"; do mount --bind empty "$file"; done
# The hiding itself must work, or the import below proves nothing.
if env/bin/python -I -c 'import ctypes; ctypes.CDLL("libmimalloc.so.2")' 2>/dev/null; then
  echo "libmimalloc.so.2 still loads: hiding it failed" >&2
  exit 1
fi
echo "   hidden: $*"
env/bin/python -I wheel_smoke.py | sed 's/^/   /'
INNER
