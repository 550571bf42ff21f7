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

# The pytest cache of this run, in which the rerun below finds the tests
# that failed. Made before the sanitizer is preloaded: preloaded into tools
# such as mktemp and rm, the leak checker fails them at exit.
cache=$(mktemp -d)
trap 'LD_PRELOAD= rm -rf "$cache"' EXIT

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
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:exitcode=23:fast_unwind_on_malloc=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=0"
# The benchmark smoke test compiles C programs, which must not run under the preload.
# Dask's worker processes inherit the preload too, and the leak checker then
# reports what their third-party libraries keep at exit: the tests marked
# "cluster" (a LocalCluster of worker processes) are left out; the same
# reading on the default scheduler still runs here. So are the tests marked
# "browser": chromium and its driver are processes of their own, and the
# server they talk to is pure Python over the same reads tested here.
# The command line's pipeline tests run hundreds of whole interpreters in
# pipes, each slow to start under the sanitizers; the native code they reach
# is the same that the in-process tests drive here.
# The instrumented build runs several times slower than the release one, so
# the suite is spread over one worker process per core, and with
# MOLVANE_SANITIZED set the tests read a fixed sample of the corpus and
# generate a tenth of their property examples (tests/conftest.py). A worker that dies
# takes its test with it, named only as "crashed": the tests that failed run
# again in one process, where a sanitizer report shows in full and fails the
# run as before.
selection=(tests --ignore=tests/test_bench_smoke.py
    --ignore=tests/test_cli_pipeline.py --ignore=tests/test_cli_routes.py
    -m "not cluster and not browser")
if ! python -m pytest "${selection[@]}" -q -o cache_dir="$cache" \
    -n "${MOLVANE_SANITIZE_WORKERS:-auto}" "$@"; then
    python -m pytest "${selection[@]}" -q -o cache_dir="$cache" --last-failed \
        --last-failed-no-failures none -p no:xdist "$@"
fi
