#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into its own virtual environment (build/venv-sanitize) and runs the test suite
# against it. Any report from either sanitizer ends the run with an error.
# Extra arguments go to pytest, e.g. `bash scripts/sanitize.sh tests/test_properties.py`.
source "$(dirname "$0")/env.sh"
VENV="${VQMIXER_SANITIZE_VENV:-$ROOT/build/venv-sanitize}"
if [ ! -x "$VENV/bin/python" ]; then
    "$(find_python312)" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install --quiet "pybind11>=2.12,<3" "scikit-build-core>=0.10" cmake ninja \
    pytest hypothesis numpy
"$VENV/bin/python" -m pip install --quiet --no-build-isolation --force-reinstall --no-deps \
    --config-settings=cmake.define.VQMIXER_SANITIZE=ON \
    --config-settings=cmake.build-type=RelWithDebInfo \
    --config-settings=build-dir="$ROOT/build/sanitize" \
    "$ROOT"

# The interpreter itself is not instrumented, so the runtime has to be loaded
# first; the C++ runtime with it, or ASan cannot find the real __cxa_throw and
# aborts on the first C++ exception.
cd "$ROOT"
export LD_PRELOAD="$(c++ -print-file-name=libasan.so) $(c++ -print-file-name=libstdc++.so)"
# Python's own allocations go through malloc, so overruns into them are seen too.
export PYTHONMALLOC=malloc
# ASan's reports go to files as well, because tests that capture a child's
# output (or pytest's capfd) would hide them. UBSan cannot log to a file here;
# it aborts instead, so the faulthandler's traceback names the test.
REPORTS="$ROOT/build/sanitize/reports"
rm -rf "$REPORTS" && mkdir -p "$REPORTS"
# Leak checking at exit would report the interpreter's deliberate leaks; the
# memory tests measure growth instead. Huge requests must come back as
# MemoryError, not as an ASan abort.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:log_path=$REPORTS/asan:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1:${UBSAN_OPTIONS:-}"
export VQMIXER_SANITIZED=1
export VQMIXER_WORKER_TIMEOUT="${VQMIXER_WORKER_TIMEOUT:-600}"
# The wheel test builds and installs its own, uninstrumented copy: skip it.
status=0
"$VENV/bin/python" -m pytest -q -s -p no:cacheprovider --ignore=tests/test_wheel.py "$@" || status=$?
if compgen -G "$REPORTS/*" >/dev/null; then
    echo "=== sanitizer reports (kept in $REPORTS) ===" >&2
    cat "$REPORTS"/* >&2
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
