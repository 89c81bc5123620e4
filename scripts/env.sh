# Sourced by every script: the Python environment they work in, and how they
# report their steps.
#
# An active virtual environment ($VIRTUAL_ENV) is used as it is. Otherwise
# the project's own environment, .venv at the root (created by setup.sh),
# so that nothing is ever installed into the system's interpreter: Debian's
# and Ubuntu's python3 refuse that (externally managed), and elsewhere it
# would mix the project's packages into everything else on the machine.
# Its commands (python, cmake, ninja, pytest, ruff, ...) come first on PATH.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ -n "${VIRTUAL_ENV:-}" ] && [ -x "$VIRTUAL_ENV/bin/python" ]; then
  VENV=$VIRTUAL_ENV
else
  VENV=$ROOT/.venv
fi
PYTHON=$VENV/bin/python
LOG_DIR=$ROOT/build/logs
# The nested scripts (lint.sh, sanitize.sh, ...) then pick the same one.
export VIRTUAL_ENV=$VENV
export PATH="$VENV/bin:$PATH"

# One line per step of the work, so a long set-up shows where it is.
step() { echo "-- $*"; }

# Runs a command (or a function) with its output in build/logs/NAME.log, so
# that pip, CMake and compilers do not flood the terminal; on failure shows
# the end of that log and stops.
quietly() {
  local name=$1 log status
  shift
  mkdir -p "$LOG_DIR"
  log=$LOG_DIR/$name.log
  echo "\$ $*" >"$log"
  # Not as an `if` condition: there `set -e` would not stop a function at
  # its first failing command.
  set +e
  (set -e && "$@") >>"$log" 2>&1
  status=$?
  set -e
  if [ "$status" != 0 ]; then
    echo "failed: $*" >&2
    echo "---- last lines of $log:" >&2
    tail -n 40 "$log" >&2
    exit "$status"
  fi
}

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
