#!/usr/bin/env bash
# Runs the test suite under valgrind's memcheck, child interpreters included
# (the crash-prone cases run in child processes). Slow: expect tens of
# minutes. Extra arguments go to pytest. Any memcheck error fails the run.
source "$(dirname "$0")/env.sh"
command -v valgrind >/dev/null || { echo "error: valgrind is not installed" >&2; exit 1; }
install_package test
cd "$ROOT"
# Python's small-object allocator would hide its blocks from memcheck.
export PYTHONMALLOC=malloc
# The instrumented-run switches of the tests: no memory figures or limits,
# longer timeouts, fewer generated examples.
export VQMIXER_SANITIZED=1
export VQMIXER_WORKER_TIMEOUT="${VQMIXER_WORKER_TIMEOUT:-1800}"
export VQMIXER_HYPOTHESIS_EXAMPLES="${VQMIXER_HYPOTHESIS_EXAMPLES:-10}"
LOG="${VQMIXER_VALGRIND_LOG:-$ROOT/build/valgrind.%p.log}"
mkdir -p "$(dirname "$LOG")"
# The wheel test builds and installs a separate copy of the package: not the
# code under test here, and far too slow under memcheck.
# Other programs the tests start (build tools, ldconfig, the other Python
# versions that must refuse the module, the type checker) are not followed.
SKIP='*/cmake,*/ninja,*/c++,*/cc1plus,*/ld,*/git,*/pip,*/ldconfig,*/ldconfig.real'
SKIP+=',*/python3.9,*/python3.10,*/python3.11,*/python3.13,*/python3.14'
exec valgrind --tool=memcheck --error-exitcode=99 --leak-check=no --track-origins=yes \
    --suppressions="$ROOT/scripts/valgrind.supp" --trace-children=yes --trace-children-skip="$SKIP" \
    --trace-children-skip-by-arg='*mypy*' \
    --log-file="$LOG" \
    "$VENV/bin/python" -m pytest -q -p no:cacheprovider --ignore=tests/test_wheel.py "$@"
