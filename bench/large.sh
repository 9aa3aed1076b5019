#!/usr/bin/env bash
# Seals and unseals a model past 2^32 bytes (4 GiB + 4,097 sparse zero bytes) and checks that it
# comes back byte for byte through UnsealFileToDescriptor, on one thread and on every CPU;
# reports the wall time and the peak resident memory of each step. Needs about 9 GiB of free disk beside the build directory and
# 5 GiB of memory.
#   bench/large.sh [build dir (default build)]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
bin=$build/bin
for tool in "$bin/sealpack" "$bin/unseal_file" /usr/bin/time; do
    [[ -x $tool ]] || { echo "missing $tool" >&2; exit 1; }
done
size=$((4 * 1024 * 1024 * 1024 + 4097))
need_kib=$((9 * 1024 * 1024 + 512 * 1024))
free_kib=$(df -Pk "$build" | awk 'NR == 2 { print $4 }')
if ((free_kib < need_kib)); then
    echo "large model: needs $((need_kib / 1024)) MiB free beside $build, has $((free_kib / 1024)) MiB" >&2
    exit 1
fi

work=$(mktemp -d "$build/large.XXXXXX")
trap 'rm -rf "$work"' EXIT
truncate -s "$size" "$work/model.bin"

/usr/bin/time -f '%e %M' -o "$work/seal.time" "$bin/sealpack" -i "$work/model.bin" -f "$work/model.sealed" >/dev/null
read -r seal_wall seal_kib <"$work/seal.time"
echo "sealpack -f: $size bytes in $seal_wall s, peak $((seal_kib / 1024)) MiB, sealed text $(stat -c %s "$work/model.sealed") bytes"

# The descriptor is mapped and written to the pipe whole; cmp reads the sparse original.
for threads in 1 0; do
    /usr/bin/time -f '%e %M' -o "$work/unseal.time" "$bin/unseal_file" --stream --threads "$threads" \
        --descriptor "$work/model.sealed" "" - 2>/dev/null | cmp - "$work/model.bin"
    read -r unseal_wall unseal_kib <"$work/unseal.time"
    echo "UnsealFileToDescriptor, threads $threads: identical, $unseal_wall s, peak $((unseal_kib / 1024)) MiB (the mapped plain bytes included)"
done
