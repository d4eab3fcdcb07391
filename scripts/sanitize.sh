#!/usr/bin/env bash
# Builds verdin with AddressSanitizer and UndefinedBehaviorSanitizer into .venv-asan and runs the
# whole test suite under it. The interpreter is not instrumented, so the ASan runtime is
# preloaded; Python's allocator is switched to malloc so that ASan sees every object, and leak
# detection is off because the interpreter itself keeps memory until exit (the suite's leak
# tests check verdin's own reference counting).
set -euo pipefail
cd "$(dirname "$0")/.."

export VERDIN_VENV=.venv-asan VERDIN_SANITIZE=ON SKBUILD_BUILD_DIR=build/asan
bash scripts/setup.sh

ASAN_LIB=$(gcc -print-file-name=libasan.so)
CXX_LIB=$(gcc -print-file-name=libstdc++.so)
[ -f "$ASAN_LIB" ] || { echo "libasan not found (apt-get install libasan8)" >&2; exit 1; }
# libstdc++ must be there when the ASan runtime starts, or it cannot intercept C++ throws.
export LD_PRELOAD="$ASAN_LIB $CXX_LIB"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc
# The leak tests measure memory; under the sanitizer that measures the sanitizer.
export VERDIN_SKIP_LEAK_TESTS="sanitizer build"
.venv-asan/bin/python -m pytest -p no:cacheprovider -q "$@"
