#!/usr/bin/env bash
# Times whole processes on one random file against the openssl command line and reports the
# median wall time, the ratio to openssl and the peak resident memory of each.
#   bench/compare.sh [build dir (default build-bench)] [size in MiB (default 64)] [runs (default 5)]
# The authenticated format (sealpack -a) is timed on the same file, beside openssl and beside the
# physical limit: the plain file read with pread into fresh memory (unseal_peak, which also
# times single calls inside the process and measures their resident growth).
# Needs sealpack, unseal_file, rewrap_sealed, read_sealed and unseal_peak in <build dir>/bin
# (configure with -DSEALCORE_BUILD_BENCH=ON), openssl and GNU time (/usr/bin/time).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-bench}
mib=${2:-64}
runs=${3:-5}
bin=$build/bin
for tool in "$bin/sealpack" "$bin/unseal_file" "$bin/rewrap_sealed" "$bin/read_sealed" \
            "$bin/unseal_peak" /usr/bin/time; do
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
"$bin/sealpack" -a -i "$plain" -f "$work/sealed.auth" >/dev/null
openssl enc -aes-256-cbc -a -A -K "$K" -iv "$IV" -in "$plain" -out "$work/openssl.txt"
# How a file was written shapes its page cache: one written 4 KiB at a time (head) lies in small
# pages and is read back into memory at about half the rate of one written in large blocks or
# read in by the kernel's readahead. Every input is dropped from the cache and read back in, so
# that all of them are cached alike, as a model that was read before is.
recache() {
    sync "$1"
    dd if="$1" iflag=nocache count=0 status=none
    cat "$1" >/dev/null
}
for file in "$plain" "$work/sealed.txt" "$work/wrapped.txt" "$work/sealed.auth" "$work/openssl.txt"; do
    recache "$file"
done
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
    run reader_random64k "$bin/read_sealed" "$work/sealed.txt" "" random64k
    run seal_auth "$bin/sealpack" -a -i "$plain" -f "$work/out.auth"
    run seal_auth_det "$bin/sealpack" -a --deterministic -i "$plain" -f "$work/out.auth"
    run seal_ctr openssl enc -aes-256-ctr -K "$K" -iv "$IV" -in "$plain" -out "$work/out.ctr"
    run auth_unseal_stream "$bin/unseal_file" --stream "$work/sealed.auth" ""
    run auth_unseal_stream_2 "$bin/unseal_file" --stream --threads 2 "$work/sealed.auth" ""
    run auth_reader_sequential "$bin/read_sealed" "$work/sealed.auth" "" sequential
    run auth_reader_random64k "$bin/read_sealed" "$work/sealed.auth" "" random64k
    run limit_pread "$bin/unseal_peak" pread "$plain"
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

# The huge-page modes decide what a large buffer (enabled) and a memory file (shmem_enabled) get.
thp() { cat "/sys/kernel/mm/transparent_hugepage/$1" 2>/dev/null || echo "(none)"; }
echo "$mib MiB random data, median of $runs runs, $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "transparent huge pages: enabled $(thp enabled); shmem_enabled $(thp shmem_enabled)"
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
row reader_random64k unseal_openssl "read: \`OpenSealedFile\`, then 1,024 \`ReadAt\` of 64 KiB at random offsets / \`openssl enc -d -aes-256-cbc -a -A\`"
echo
echo "wall and CPU (user + system) seconds are medians; ratio = ours / openssl; peak memory is the maximum resident set size"
echo "(the descriptor's pages count once they are mapped and read, as a loader reads them)."
echo
echo "The authenticated format (\`sealpack -a\`) on the same file; the reference is named after the /."
echo
echo "| job | wall, ours | wall, reference | ratio | CPU, ours | CPU, reference | ratio | peak memory, ours (x plain size) | peak memory, reference |"
echo "|---|---|---|---|---|---|---|---|---|"
row seal_auth seal_ctr "seal: \`sealpack -a -i f -f out\` / \`openssl enc -aes-256-ctr\` over the plain file"
row seal_auth_det seal_ctr "seal: \`sealpack -a --deterministic -i f -f out\` / \`openssl enc -aes-256-ctr\` over the plain file"
row auth_unseal_stream unseal_openssl "unseal: \`UnsealFile\` / \`openssl enc -d -aes-256-cbc -a -A\` on the sealed text"
row auth_unseal_stream_2 unseal_openssl "unseal: \`UnsealFile\` on 2 threads / \`openssl enc -d -aes-256-cbc -a -A\` on the sealed text"
row auth_unseal_stream limit_pread "unseal: \`UnsealFile\` / \`pread\` of the plain file into fresh memory"
row auth_unseal_stream_2 limit_pread "unseal: \`UnsealFile\` on 2 threads / \`pread\` of the plain file into fresh memory"
row auth_reader_sequential unseal_openssl "read: \`OpenSealedFile\`, then the whole model by \`ReadAt\` in 1 MiB requests / \`openssl enc -d -aes-256-cbc -a -A\`"
row auth_reader_random64k unseal_openssl "read: \`OpenSealedFile\`, then 1,024 \`ReadAt\` of 64 KiB at random offsets / \`openssl enc -d -aes-256-cbc -a -A\`"
row limit_pread unseal_openssl "limit: \`pread\` of the plain file into fresh memory / \`openssl enc -d -aes-256-cbc -a -A\`"
echo
echo "Against the limit, whole processes differ by a few 10 ms steps of GNU time; the times inside the process below are"
echo "the precise comparison."
echo
# The file sizes: the authenticated format must be exactly 72 + L + 16 n bytes.
bytes() { stat -c %s "$1"; }
L=$(bytes "$plain")
segments=$(((L + 65535) / 65536))
awk -v l="$L" -v t="$(bytes "$work/sealed.txt")" -v a="$(bytes "$work/sealed.auth")" \
    -v o="$(bytes "$work/openssl.txt")" -v e="$((72 + L + 16 * (segments > 0 ? segments : 1)))" \
    'BEGIN { printf "file size: plain %d; sealed text %d (%.4f x); authenticated %d (%.4f x, 72 + L + 16 n = %d); openssl Base64 text %d (%.4f x)\n\n", l, t, t / l, a, a / l, e, o, o / l }'
# Single calls timed inside a fresh process (not in 10 ms steps) with their resident growth, the
# commands alternating as above.
declare -A call_ms call_kib
inproc() {
    local name=$1 ms kib
    shift
    read -r ms kib _ <<<"$("$bin/unseal_peak" "$@")"
    call_ms[$name]+="$ms "
    call_kib[$name]+="$kib "
}
for ((i = 0; i < runs; ++i)); do
    inproc limit pread "$plain"
    inproc auth_1 unseal "$work/sealed.auth" ""
    inproc auth_2 unseal "$work/sealed.auth" "" 2
    inproc text_1 unseal "$work/sealed.txt" ""
done
limit_ms=$(med "${call_ms[limit]}")
for name in limit auth_1 auth_2 text_1; do
    case $name in
    limit) label="pread of the plain file into fresh memory (the limit)" ;;
    auth_1) label="UnsealFile, authenticated format, 1 thread" ;;
    auth_2) label="UnsealFile, authenticated format, 2 threads" ;;
    text_1) label="UnsealFile, sealed text, 1 thread" ;;
    esac
    awk -v l="$label" -v ms="$(med "${call_ms[$name]}")" -v lim="$limit_ms" \
        -v kib="$(tr ' ' '\n' <<<"${call_kib[$name]}" | grep . | sort -g | tail -n 1)" -v m="$mib" \
        'BEGIN { printf "in the process: %s: %.1f ms (%.2f x the limit), resident growth at most %.1f MiB (plain + %.1f MiB)\n", l, ms, ms / lim, kib / 1024, kib / 1024 - m }'
done
echo
# Opening a reader: a sealed text is scanned whole, the authenticated format reads its header.
open_us() { "$bin/read_sealed" "$1" "" open "$2" 2>&1 >/dev/null | cut -d' ' -f1; }
text_open=() auth_open=()
for ((i = 0; i < runs; ++i)); do
    text_open+=("$(open_us "$work/sealed.txt" 1)")
    auth_open+=("$(open_us "$work/sealed.auth" 100)")
done
awk -v t="$(printf '%s\n' "${text_open[@]}" | median)" -v a="$(printf '%s\n' "${auth_open[@]}" | median)" \
    'BEGIN { printf "opening a reader (median of the runs): sealed text %.0f us (one opening a run), authenticated format %.1f us (the median of 100 openings a run)\n\n", t, a }'
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
