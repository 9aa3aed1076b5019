#!/usr/bin/env bash
# Build cost and start-up memory of the three routes that carry a model with a program: the
# generated header (sealcore_seal_header), the data file (sealcore_seal_data, UnsealFile) and
# the embedded object (sealcore_seal_embed, UnsealMemory). Installs the build into a scratch
# prefix and builds bench/embed/ against it, as a user's project would be built.
#   bench/embed.sh [build dir (default build)] [small MiB (default 16)] [large MiB (default 384)]
# For each route and size: the time and peak memory of the build that seals the model and links
# the program (cmake --build; the peak is that of its largest step), and the peak resident size
# of the program, which unseals the model at start and checks every byte. The large model is
# built by the data and embedded routes only: no compiler takes a string literal of its size.
# Then: a clang++ build of the embedded route, and the rebuild after the model changes.
# Needs GNU time (/usr/bin/time) and clang++.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
small=${2:-16}
large=${3:-384}
for tool in /usr/bin/time clang++; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null

# Runs a command under GNU time; prints "wall_seconds peak_MiB", its output goes to $work/out.
measure() {
    /usr/bin/time -f '%e %M' -o "$work/time" "$@" >"$work/out" 2>&1 || {
        cat "$work/out" >&2
        return 1
    }
    awk '{ printf "%s %.0f\n", $1, $2 / 1024 }' "$work/time"
}

# configure <dir> <model> <routes> [cmake arguments...]
configure() {
    local dir=$1 model=$2 routes=$3
    shift 3
    cmake -S bench/embed -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$work/prefix" \
        -DMODEL="$model" -DROUTES="$routes" "$@" >/dev/null
}

printf '| %-28s | %9s | %10s | %10s | %10s | %10s |\n' route model build "build peak" "start peak" "× model"
printf '|%s|%s|%s|%s|%s|%s|\n' ------------------------------ ----------- ------------ \
    ------------ ------------ ------------
# row <label> <dir> <route> <model> <MiB>
row() {
    local label=$1 dir=$2 route=$3 model=$4 mib=$5 build_s build_peak run_s run_peak
    read -r build_s build_peak <<<"$(measure cmake --build "$dir" --target "start_$route")"
    read -r run_s run_peak <<<"$(measure "$dir/start_$route" "$model")"
    grep -q "as the original" "$work/out" || { cat "$work/out" >&2; exit 1; }
    printf '| %-28s | %5s MiB | %8s s | %6s MiB | %6s MiB | %9s× |\n' "$label" "$mib" "$build_s" \
        "$build_peak" "$run_peak" "$(awk -v p="$run_peak" -v m="$mib" 'BEGIN { printf "%.2f", p / m }')"
}

head -c $((small * 1024 * 1024)) /dev/urandom >"$work/small.bin"
configure "$work/small" "$work/small.bin" "header;data;embed"
for route in header data embed; do
    row "$route (g++)" "$work/small" "$route" "$work/small.bin" "$small"
done

configure "$work/clang" "$work/small.bin" embed -DCMAKE_CXX_COMPILER=clang++
row "embed (clang++)" "$work/clang" embed "$work/small.bin" "$small"

# A changed model is sealed, assembled and linked again by the next build.
head -c 4097 /dev/urandom >>"$work/small.bin"
row "embed, model changed" "$work/small" embed "$work/small.bin" "$small"
grep -q "^$((small * 1024 * 1024 + 4097)) bytes" "$work/out" || {
    echo "the rebuilt program holds the old model: $(cat "$work/out")" >&2
    exit 1
}

head -c $((large * 1024 * 1024)) /dev/urandom >"$work/large.bin"
configure "$work/large" "$work/large.bin" "data;embed"
for route in data embed; do
    row "$route (g++)" "$work/large" "$route" "$work/large.bin" "$large"
done
