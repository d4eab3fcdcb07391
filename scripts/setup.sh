#!/usr/bin/env bash
# Creates .venv with CPython 3.12 and installs verdin (built from this checkout) with the
# test dependencies. Safe to run again: it reuses the venv and rebuilds the package.
set -euo pipefail
cd "$(dirname "$0")/.."

find_python() {
  if command -v pyenv >/dev/null 2>&1; then
    for p in "$(pyenv root)"/versions/3.12.*/bin/python3.12; do
      [ -x "$p" ] && { echo "$p"; return; }
    done
  fi
  for p in python3.12 python3; do
    if command -v "$p" >/dev/null 2>&1 && "$p" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then
      command -v "$p"; return
    fi
  done
  echo "CPython 3.12 not found (install it with pyenv or apt)" >&2
  exit 1
}

PY=${VERDIN_PYTHON:-$(find_python)}
VENV=${VERDIN_VENV:-.venv}
[ -x "$VENV/bin/python" ] || "$PY" -m venv "$VENV"
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q ".[test]"
