#!/usr/bin/env bash
# A wheel with `pip wheel .`, an sdist with `python -m build --sdist`, and a wheel built from
# that sdist alone in a clean folder; the result imports.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=.venv/bin/python
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$PY" -m pip install -q build
"$PY" -m pip wheel -q --no-deps -w "$out/wheel" .
"$PY" -m build --sdist --outdir "$out/sdist" . > /dev/null
sdist=$(ls "$out"/sdist/verdin-*.tar.gz)
mkdir "$out/unpacked"
tar -xzf "$sdist" -C "$out/unpacked"
( cd "$out/unpacked"/verdin-* && "$OLDPWD/$PY" -m pip wheel -q --no-deps -w "$out/from-sdist" . )
"$PY" -m venv "$out/venv"
"$out/venv/bin/pip" install -q "$out"/from-sdist/verdin-*.whl
( cd "$out" && "$out/venv/bin/python" -c "
import verdin.db.txnfront, verdin.mapper.stmtloom, verdin.utils.snippets, verdin.utils.bindnote
import importlib.resources as r
assert (r.files('verdin') / 'py.typed').is_file() and (r.files('verdin.db') / 'txnfront.pyi').is_file()
print('wheel from the sdist imports:', verdin.mapper.stmtloom.ParseMapper)
" )
ls "$out"/wheel "$out"/sdist
