#!/usr/bin/env bash
# Format and lint gate: clang-format over the native sources, ruff over the Python code. Both are
# pinned, so that a new release of either never fails a build by itself; the configuration is
# .clang-format and [tool.ruff] in pyproject.toml. Run from anywhere: scripts/lint.sh
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${VERDIN_LINT_VENV:-.venv-lint}
[ -x "$VENV/bin/python" ] || python3 -m venv "$VENV"
"$VENV/bin/python" -m pip install -q clang-format==23.1.5 ruff==0.17.6

find src \( -name '*.cpp' -o -name '*.hpp' \) -print0 | sort -z |
  xargs -0 "$VENV/bin/clang-format" --dry-run --Werror
"$VENV/bin/ruff" check .
echo "clang-format and ruff: clean"
