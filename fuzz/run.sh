#!/usr/bin/env bash
# Builds the libFuzzer targets of the core with clang (ASan + UBSan) and runs
# each for a time budget, seeded from the real SD files beside the repository.
#
#   bash fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]
#
# Needs clang with its fuzzer runtime (Debian: apt-get install clang).
# Inputs that crash are left in fuzz/_build/<target>/ as crash-* files; keep
# each one as a regression case once fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
budget=${1:-60}
shift || true
build=fuzz/_build
mkdir -p "$build"

flags=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Isrc/native)
shopt -s nullglob
core_sources=(src/native/core/*.cpp src/native/core/ctable/*.cpp)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for source in fuzz/fuzz_*.cpp; do
        name=$(basename "$source" .cpp)
        targets+=("${name#fuzz_}")
    done
fi

seeds=../shared/corpus/fileparsers
for target in "${targets[@]}"; do
    exe="$build/fuzz_$target"
    echo "== building $target"
    clang++ "${flags[@]}" "fuzz/fuzz_$target.cpp" "${core_sources[@]}" -o "$exe"
    corpus="$build/$target/corpus"
    mkdir -p "$corpus"
    if [ -d "$seeds" ] && [ -z "$(ls -A "$corpus")" ]; then
        cp "$seeds"/*.sdf "$corpus"/ 2>/dev/null || true
    fi
    if [ -d "fuzz/regressions/$target" ]; then
        echo "== replaying kept regressions of $target"
        "$exe" "fuzz/regressions/$target"/* > "$build/$target/regress.log" 2>&1
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
