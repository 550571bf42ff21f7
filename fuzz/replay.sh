#!/usr/bin/env bash
# Replays, under ASan + UBSan, every kept input in fuzz/regressions/<target>/
# and the first few real SD files of the corpus (MOLVANE_CORPUS, default
# ../shared/corpus) through each fuzz target: CI's check that no input that
# once failed fails again. Builds with the default compiler: libFuzzer's driver
# with clang, the replay driver otherwise.
#
#   bash fuzz/replay.sh [SEEDS_PER_TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."
seeds_per_target=${1:-3}
build=build/fuzz-replay
cmake -S . -B "$build" -DMOLVANE_FUZZ=ON -DMOLVANE_SANITIZE=ON -DMOLVANE_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" -j 2 > /dev/null

corpus=${MOLVANE_CORPUS:-../shared/corpus}/fileparsers
seeds=()
if [ -d "$corpus" ]; then
    mapfile -t seeds < <(find "$corpus" -maxdepth 1 -name '*.sdf' | sort | head -n "$seeds_per_target")
elif [ -n "${CI:-}" ]; then
    echo "fuzz/replay.sh: corpus folder $corpus is absent" >&2
    exit 1
fi
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for source in fuzz/fuzz_*.cpp; do
    target=$(basename "$source" .cpp)
    inputs=("${seeds[@]}")
    kept="fuzz/regressions/${target#fuzz_}"
    [ -d "$kept" ] && inputs+=("$kept")
    [ ${#inputs[@]} -eq 0 ] && continue
    printf '%s: ' "$target"
    "$build/$target" "${inputs[@]}" 2>&1 | tail -n 1
done
