#!/usr/bin/env bash
# Times whole processes on one random file against the openssl command line and reports the
# median wall time, the ratio to openssl and the peak resident memory of each.
#   bench/compare.sh [build dir (default build-bench)] [size in MiB (default 64)] [runs (default 5)]
# Needs sealpack, unseal_file, rewrap_sealed and read_sealed in <build dir>/bin (configure with
# -DSEALCORE_BUILD_BENCH=ON), openssl and GNU time (/usr/bin/time).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-bench}
mib=${2:-64}
runs=${3:-5}
bin=$build/bin
for tool in "$bin/sealpack" "$bin/unseal_file" "$bin/rewrap_sealed" "$bin/read_sealed" /usr/bin/time; do
    [[ -x $tool ]] || { echo "missing $tool (build with: cmake --build $build)" >&2; exit 1; }
done
command -v openssl >/dev/null || { echo "missing openssl" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
plain=$work/plain.bin
head -c $((mib * 1024 * 1024)) /dev/urandom >"$plain"
# openssl gets a raw key and IV, as sealpack has its key and draws its IV itself.
K=$(head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n')
IV=$(head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n')

# Runs a command once under GNU time; prints "wall_seconds cpu_seconds peak_kib".
measure() {
    /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" >/dev/null
    awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$work/time"
}

# The median of the numbers on standard input.
median() {
    sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

declare -A seconds cpu peak
run() {
    local name=$1
    shift
    local wall user kib
    read -r wall user kib <<<"$(measure "$@")"
    seconds[$name]+="$wall "
    cpu[$name]+="$user "
    if [[ -z ${peak[$name]:-} || $kib -gt ${peak[$name]} ]]; then
        peak[$name]=$kib
    fi
}

# The sealed forms to unseal are made once; the same commands are then timed alternately so
# that a change in the machine's load affects both sides alike.
"$bin/sealpack" -i "$plain" -f "$work/sealed.txt" >/dev/null
"$bin/rewrap_sealed" "$work/sealed.txt" "$work/wrapped.txt"
openssl enc -aes-256-cbc -a -A -K "$K" -iv "$IV" -in "$plain" -out "$work/openssl.txt"
for ((i = 0; i < runs; ++i)); do
    run seal "$bin/sealpack" -i "$plain" -f "$work/out.txt"
    run seal_openssl openssl enc -aes-256-cbc -a -A -K "$K" -iv "$IV" -in "$plain" -out "$work/out.ossl"
    run unseal "$bin/unseal_file" "$work/sealed.txt" ""
    run unseal_fd "$bin/unseal_file" --descriptor "$work/sealed.txt" ""
    run unseal_stream "$bin/unseal_file" --stream "$work/sealed.txt" ""
    run unseal_stream_fd "$bin/unseal_file" --stream --descriptor "$work/sealed.txt" ""
    run unseal_stream_2 "$bin/unseal_file" --stream --threads 2 "$work/sealed.txt" ""
    run unseal_stream_all "$bin/unseal_file" --stream --threads 0 "$work/sealed.txt" ""
    run unseal_stream_fd_2 "$bin/unseal_file" --stream --threads 2 --descriptor "$work/sealed.txt" ""
    run unseal_stream_fd_all "$bin/unseal_file" --stream --threads 0 --descriptor "$work/sealed.txt" ""
    run unseal_wrapped "$bin/unseal_file" "$work/wrapped.txt" ""
    run reader_sequential "$bin/read_sealed" "$work/sealed.txt" "" sequential
    run reader_random "$bin/read_sealed" "$work/sealed.txt" "" random
    run unseal_openssl openssl enc -d -aes-256-cbc -a -A -K "$K" -iv "$IV" -in "$work/openssl.txt" -out /dev/null
done

med() { tr ' ' '\n' <<<"$1" | grep . | median; }
row() {
    local ours=$1 theirs=$2 label=$3
    awk -v l="$label" -v a="$(med "${seconds[$ours]}")" -v b="$(med "${seconds[$theirs]}")" \
        -v ca="$(med "${cpu[$ours]}")" -v cb="$(med "${cpu[$theirs]}")" \
        -v pa="${peak[$ours]}" -v pb="${peak[$theirs]}" -v m="$mib" \
        'BEGIN { printf "| %s | %.2f s | %.2f s | %.2f | %.2f s | %.2f s | %.2f | %.0f MiB (%.2f x) | %.0f MiB |\n", l, a, b, (b > 0 ? a / b : 0), ca, cb, (cb > 0 ? ca / cb : 0), pa / 1024, pa / 1024 / m, pb / 1024 }'
}

echo "$mib MiB random data, median of $runs runs, $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| job | wall, ours | wall, openssl | ratio | CPU, ours | CPU, openssl | ratio | peak memory, ours (x plain size) | peak memory, openssl |"
echo "|---|---|---|---|---|---|---|---|---|"
row seal seal_openssl "seal: \`sealpack -i f -f out\` / \`openssl enc -aes-256-cbc -a -A\`"
row unseal unseal_openssl "unseal: \`CreateEncryptor(path, key)\` + \`FetchBuffer\` / \`openssl enc -d -aes-256-cbc -a -A\`"
row unseal_fd unseal_openssl "unseal: \`CreateEncryptor(path, key)\` + \`FetchDescriptor\`, mapped and read / \`openssl enc -d -aes-256-cbc -a -A\`"
row unseal_stream unseal_openssl "unseal: \`UnsealFile\` / \`openssl enc -d -aes-256-cbc -a -A\`"
row unseal_stream_fd unseal_openssl "unseal: \`UnsealFileToDescriptor\`, mapped and read / \`openssl enc -d -aes-256-cbc -a -A\`"
row unseal_stream_2 unseal_openssl "unseal: \`UnsealFile\` on 2 threads / \`openssl enc -d -aes-256-cbc -a -A\`"
row unseal_stream_all unseal_openssl "unseal: \`UnsealFile\` on all $(nproc) CPUs / \`openssl enc -d -aes-256-cbc -a -A\`"
row unseal_stream_fd_2 unseal_openssl "unseal: \`UnsealFileToDescriptor\` on 2 threads, mapped and read / \`openssl enc -d -aes-256-cbc -a -A\`"
row unseal_stream_fd_all unseal_openssl "unseal: \`UnsealFileToDescriptor\` on all $(nproc) CPUs, mapped and read / \`openssl enc -d -aes-256-cbc -a -A\`"
row unseal_wrapped unseal_openssl "unseal, CR LF every 76 Base64 characters: \`CreateEncryptor(path, key)\` + \`FetchBuffer\` / \`openssl enc -d -aes-256-cbc -a -A\`"
row reader_sequential unseal_openssl "read: \`OpenSealedFile\`, then the whole model by \`ReadAt\` in 1 MiB requests / \`openssl enc -d -aes-256-cbc -a -A\`"
row reader_random unseal_openssl "read: \`OpenSealedFile\`, then 4,096 \`ReadAt\` of 4 KiB at random offsets / \`openssl enc -d -aes-256-cbc -a -A\`"
echo
echo "wall and CPU (user + system) seconds are medians; ratio = ours / openssl; peak memory is the maximum resident set size"
echo "(the descriptor's pages count once they are mapped and read, as a loader reads them)."
echo
# Reads at random offsets on one reader from one thread and from two, timed after opening.
rate() { "$bin/read_sealed" "$work/sealed.txt" "" random "$1" 2>&1 >/dev/null | cut -d' ' -f1; }
one=() two=()
for ((i = 0; i < runs; ++i)); do
    one+=("$(rate 1)")
    two+=("$(rate 2)")
done
r1=$(printf '%s\n' "${one[@]}" | median)
r2=$(printf '%s\n' "${two[@]}" | median)
awk -v a="$r1" -v b="$r2" 'BEGIN { printf "reads of 4 KiB at random offsets on one reader: %.0f/s on 1 thread, %.0f/s on 2 threads (%.2f x)\n\n", a, b, b / a }'
# A source of unknown size is read only until it passes what the reader can use.
for cmd in "$bin/sealpack -i /dev/zero -o $work/zero.h" "$bin/unseal_file /dev/zero \"\"" \
           "$bin/unseal_file --stream /dev/zero \"\""; do
    /usr/bin/time -f '%e %M' -o "$work/time" bash -c "$cmd" >/dev/null 2>&1 || true
    read -r wall kib < <(tail -n 1 "$work/time")
    echo "refused: \`${cmd#"$bin/"}\` after $wall s, peak $((kib / 1024)) MiB"
done
