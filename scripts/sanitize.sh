#!/usr/bin/env bash
# Runs the whole test suite against an AddressSanitizer + UndefinedBehaviorSanitizer build
# of the module (RelWithDebInfo), kept apart from the released, optimised one: its own
# virtual environment (build/venv-asan) and build tree (build/asan).
#
#   bash scripts/sanitize.sh [PYTEST ARGS...]
#
# The interpreter is not instrumented, so the runtime of the compiler that built the module
# is preloaded. Python allocates through malloc here, so that a reference released too
# often shows up as a use after free. Leak detection is off: the interpreter itself does
# not free everything at exit. Any sanitizer report ends the run with a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh  # Debian packages and the released module, as for the test suite

venv=build/venv-asan
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r requirements-dev.txt
CC=gcc CXX=g++ "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -C build-dir=build/asan -C cmake.define.MORVEX_SANITIZE=ON -C cmake.define.MORVEX_WERROR=ON \
    -C cmake.build-type=RelWithDebInfo .

libasan="$(g++ -print-file-name=libasan.so)"
[ -f "$libasan" ] || { echo "libasan.so not found next to g++" >&2; exit 1; }
# pytest captures only Python's sys.stderr here: a sanitizer report written just before the
# process aborts would be lost in a captured file descriptor. The process's standard error
# (sanitizer reports, and the module's short reports of internal faults, which the tests
# provoke by the thousand) goes to a file that is searched afterwards.
stderr_log=build/asan/stderr.log
echo "Running the test suite with $libasan preloaded (standard error in $stderr_log)"
status=0
LD_PRELOAD="$libasan" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
PYTHONMALLOC=malloc \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys tests "$@" 2>"$stderr_log" || status=$?
if grep -q -E 'runtime error:|ERROR: (AddressSanitizer|LeakSanitizer)|Fatal Python error' "$stderr_log"; then
    echo "Sanitizer reports:"
    grep -A 40 -E 'runtime error:|ERROR: (AddressSanitizer|LeakSanitizer)|Fatal Python error' "$stderr_log" | head -n 200
    status=1
elif [ "$status" -ne 0 ]; then
    tail -n 40 "$stderr_log"
fi
exit "$status"
