#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a bounded time.
# Usage: fuzz/run.sh [seconds-per-target] [target...]   (default: 30 seconds, every target)
# Each target starts from its seed corpus in fuzz/corpus/<target>/ and keeps what it finds in
# fuzz/corpus-run/<target>/ (not tracked), so later runs continue from there. A crashing input
# is written to build-fuzz/artifacts/ and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
build=build-fuzz

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DSEALCORE_FUZZ=ON -DSEALCORE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target fuzzers

if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for src in fuzz/fuzz_*.cpp; do
        targets+=("$(basename "$src" .cpp)")
    done
fi

mkdir -p "$build/artifacts" "$build/logs"
for t in "${targets[@]}"; do
    mkdir -p "fuzz/corpus-run/$t"
    log="$build/logs/$t.log"
    echo "== $t for ${seconds}s"
    if ! "$build/bin/$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$t-" "fuzz/corpus-run/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "$t: finding, see $log and $build/artifacts/" >&2
        exit 1
    fi
    # The last status line carries the coverage reached (cov: edges, ft: features).
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1
    grep -E 'stat::average_exec_per_sec' "$log"
done
