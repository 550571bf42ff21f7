#!/usr/bin/env bash
# Builds the libFuzzer targets of the core with clang (ASan + UBSan) through
# CMake's MOLVANE_FUZZ option and runs each for a time budget, seeded from the
# real SD files beside the repository (MOLVANE_CORPUS, default ../shared/corpus).
#
#   bash fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]
#
# Needs clang with its fuzzer runtime (Debian: apt-get install clang).
# Inputs that crash are left in fuzz/_build/<target>/ as crash-* files; keep
# each one as a regression case in fuzz/regressions/<target>/ once fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
budget=${1:-60}
shift || true
build=fuzz/_build
CXX=clang++ cmake -S . -B "$build" -G Ninja -DMOLVANE_FUZZ=ON -DMOLVANE_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$build.cmake.log"
cmake --build "$build" > "$build.build.log"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for source in fuzz/fuzz_*.cpp; do
        name=$(basename "$source" .cpp)
        targets+=("${name#fuzz_}")
    done
fi

seeds=${MOLVANE_CORPUS:-../shared/corpus}/fileparsers
for target in "${targets[@]}"; do
    corpus="$build/$target/corpus"
    mkdir -p "$corpus"
    if [ -d "$seeds" ] && [ -z "$(ls -A "$corpus")" ]; then
        cp "$seeds"/*.sdf "$corpus"/ 2>/dev/null || true
    fi
    if [ -d "fuzz/regressions/$target" ]; then
        echo "== replaying kept regressions of $target"
        "$build/fuzz_$target" "fuzz/regressions/$target"/* > "$build/$target/regress.log" 2>&1
    fi
    echo "== fuzzing $target for ${budget}s"
    (cd "$build/$target" && "../fuzz_$target" -max_total_time="$budget" -max_len=65536 \
        -print_final_stats=1 corpus > run.log 2>&1) || {
        echo "!! $target found a failure; see $build/$target/run.log and crash-* there"
        exit 1
    }
    grep -E "^#[0-9]+.*(DONE|cov:)" "$build/$target/run.log" | tail -n 1
    grep -E "stat::number_of_executed_units" "$build/$target/run.log"
done
