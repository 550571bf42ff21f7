#!/usr/bin/env bash
# Builds molvane with AddressSanitizer and UndefinedBehaviorSanitizer into its
# own virtual environment and runs the whole pytest suite against that build.
#
#   bash tools/sanitize.sh [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

venv=${MOLVANE_ASAN_VENV:-.venv-asan}
python3 -m venv "$venv"
# shellcheck disable=SC1091
. "$venv/bin/activate"
python -m pip install --quiet --upgrade pip
pip install --quiet \
    -Ccmake.define.MOLVANE_SANITIZE=ON \
    -Ccmake.build-type=RelWithDebInfo \
    -Cbuild-dir=build/sanitize \
    '.[test]'

# Sanitizer reports go to files of their own, shown at the end: pytest
# captures what a test writes to stderr, and a report that ends the process
# would be lost with it.
reports=$(mktemp -d)
trap 'LD_PRELOAD= rm -rf "$reports"' EXIT

# The interpreter itself is not instrumented: the ASan runtime must be loaded
# first, and libstdc++ with it so that ASan's __cxa_throw interceptor finds
# the real one. PYTHONMALLOC=malloc routes Python's small objects through
# malloc so that ASan checks them too. The interpreter frees little at exit,
# but what it keeps stays reachable, so the leak checker runs unsuppressed
# and reports only memory that nothing points to any more.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export PYTHONMALLOC=malloc
export MOLVANE_SANITIZED=1  # the build is a debug build: DEBUG_BUILD is True
# Full stacks on malloc, so that the suppressions can match deep frames.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:exitcode=23:fast_unwind_on_malloc=0:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
export LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=0"
# The benchmark smoke test compiles C programs, which must not run under the preload.
# Dask's worker processes inherit the preload too, and the leak checker then
# reports what their third-party libraries keep at exit: the tests marked
# "cluster" (a LocalCluster of worker processes) are left out; the same
# reading on the default scheduler still runs here. So are the tests marked
# "browser": chromium and its driver are processes of their own, and the
# server they talk to is pure Python over the same reads tested here.
# The command line's pipeline tests and the write fault tests run hundreds
# of whole interpreters as children, each slow to start under the
# sanitizers; the native code they reach is the same that the in-process
# tests drive here.
# The plain-gzip index tests run rapidgzip, a C++ library of its own with
# threads of its own, not built with the sanitizers: what they reach of
# molvane's native code (block starts, ranged reads) is tested here through
# BGZF and plain files.
# The instrumented build runs several times slower than the release one:
# with MOLVANE_SANITIZED set the tests read a fixed sample of the corpus and
# generate a tenth of their property examples (tests/conftest.py), spread
# over one worker process per core. A worker ended by a report is named as
# "crashed"; its report is in the files shown below.
status=0
python -m pytest tests --ignore=tests/test_bench_smoke.py \
    --ignore=tests/test_cli_pipeline.py --ignore=tests/test_cli_routes.py \
    --ignore=tests/test_write_faults.py --ignore=tests/test_gzindex.py \
    -m "not cluster and not browser" \
    -q -n "${MOLVANE_SANITIZE_WORKERS:-auto}" -p no:cacheprovider "$@" || status=$?
# Reports of children too (a test judges its child by its exit status).
if compgen -G "$reports/*" > /dev/null; then
    LD_PRELOAD= cat "$reports"/* >&2
fi
exit "$status"
