#!/usr/bin/env bash
# AES-256-GCM and SHA-256 beside OpenSSL's EVP, each kernel in its own run:
#   bench/gcm.sh [build-dir]    (a build configured with -DSEALCORE_BUILD_BENCH=ON)
# The wide kernel on 512- and 256-bit registers and the 128-bit kernel are reached through
# SEALCORE_NO_WIDE_KERNELS, the portable code through the benchmarks' own switch. OpenSSL's
# table-driven GHASH runs with PCLMULQDQ masked (OPENSSL_ia32cap bit 33, CPUID.1:ECX bit 1), its
# vector SHA-256 with the SHA extensions masked (CPUID.7:EBX bit 29).
set -euo pipefail
build=${1:-build}
cmake --build "$build" -j2 --target gcm_bench sha256_bench >/dev/null
run() { "$build/bin/$1" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "${@:2}" |
        grep -E '_median|^Benchmark' ; }
echo "== widest kernels (and the portable code)"
run gcm_bench
echo "== wide kernel on 256-bit registers"
SEALCORE_NO_WIDE_KERNELS=512 run gcm_bench --benchmark_filter='BM_GCM_.*/1$'
echo "== 128-bit kernel"
SEALCORE_NO_WIDE_KERNELS=1 run gcm_bench --benchmark_filter='BM_GCM_.*/1$|OpenSSL_GCM_Open'
echo "== OpenSSL's table-driven GHASH (PCLMULQDQ masked)"
OPENSSL_ia32cap="~0x200000000" run gcm_bench --benchmark_filter='OpenSSL_GCM_Ghash|BM_GCM_GhashOnly/1048576/0'
echo "== SHA-256"
run sha256_bench
echo "== SHA-256, OpenSSL with the SHA extensions masked"
OPENSSL_ia32cap=":~0x20000000" run sha256_bench
