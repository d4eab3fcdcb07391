#!/usr/bin/env bash
# Builds verdin for CPython 3.11 and 3.13 (each in a venv of its own) and runs the suite there;
# the 100,000-call leak tests run on 3.12 only.
set -euo pipefail
cd "$(dirname "$0")/.."
for v in 3.11 3.13; do
  PY=""
  if command -v pyenv >/dev/null 2>&1; then
    for p in "$(pyenv root)"/versions/$v.*/bin/python$v; do [ -x "$p" ] && PY=$p && break; done
  fi
  [ -n "$PY" ] || PY=$(command -v python$v || true)
  if [ -z "$PY" ]; then
    echo "CPython $v not found" >&2
    exit 1
  fi
  echo "== CPython $v ($PY)"
  VERDIN_PYTHON=$PY VERDIN_VENV=.venv-$v bash scripts/setup.sh
  VERDIN_SKIP_LEAK_TESTS="run on 3.12" .venv-$v/bin/python -m pytest -p no:cacheprovider -q "$@"
done
