#!/usr/bin/env bash
# Loads one TorchScript model with libtorch from its plain file and from its data file in each
# sealed format (sealpack -f, sealpack -a -f) through a SealedStreambuf, and prints the median
# wall time and the peak resident size of each.
#   bench/torch_load.sh [build dir (default build-bench)] [MiB of weights (default 64)] [runs (5)]
# Needs libtorch-dev (Debian) when <build dir> was configured, so that torch_load was built.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-bench}
mib=${2:-64}
runs=${3:-5}
bin=$build/bin
[[ -x $bin/torch_load ]] || { echo "missing $bin/torch_load (install libtorch-dev, reconfigure)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bin/torch_load" make "$mib" "$work/model.pt"
"$bin/sealpack" -i "$work/model.pt" -f "$work/model.sealed" >/dev/null
"$bin/sealpack" -a -i "$work/model.pt" -f "$work/model.authenticated" >/dev/null

median() {
    sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
for route in plain sealed authenticated; do
    args=("$work/model.pt")
    [[ $route == sealed ]] && args=("$work/model.sealed" "")
    [[ $route == authenticated ]] && args=("$work/model.authenticated" "")
    # torch_load's sealed route opens either format.
    mode=$route
    [[ $route == authenticated ]] && mode=sealed
    walls=() peak=0
    for ((i = 0; i < runs; ++i)); do
        /usr/bin/time -f '%e %M' -o "$work/time" "$bin/torch_load" "$mode" "${args[@]}" >/dev/null
        read -r wall kib <"$work/time"
        walls+=("$wall")
        ((kib > peak)) && peak=$kib
    done
    echo "torch::jit::load, $route: $(printf '%s\n' "${walls[@]}" | median) s, peak $((peak / 1024)) MiB"
done
