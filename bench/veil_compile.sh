#!/usr/bin/env bash
# Times the compilation of one translation unit holding COUNT VEIL texts of 32 characters each
# (default 1000), with g++ -O2 and, where present, clang++ -O2; prints the wall and CPU seconds.
#   bench/veil_compile.sh [count]
set -euo pipefail
cd "$(dirname "$0")/.."

count=${1:-1000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Distinct texts, so that no compiler can share one encoding between two uses.
{
    echo '#include <cstdio>'
    echo '#include "textveil/veil.h"'
    echo 'void print_all() {'
    for ((i = 0; i < count; i++)); do
        printf '    std::puts(VEIL("veiled text number %06d, 32 ch").c_str());\n' "$i"
    done
    echo '}'
} >"$work/texts.cpp"

for compiler in g++ clang++; do
    command -v "$compiler" >/dev/null || continue
    /usr/bin/time -f "$compiler -O2, $count texts: %e s wall, %U s user + %S s system" \
        "$compiler" -std=c++17 -O2 -I . -c "$work/texts.cpp" -o "$work/texts.o"
done
