#!/usr/bin/env bash
# Runs a test program under valgrind's memcheck, following every process it starts (the tools
# under test), and fails when any of them reports a memory error or a leak.
# Usage: memcheck.sh <valgrind> <log-dir> <program> [arguments...]
set -uo pipefail
valgrind=$1
logs=$2
shift 2
rm -rf "$logs"
mkdir -p "$logs"

# Each process logs to its own file, so the tools' standard error stays what the tests expect.
"$valgrind" --trace-children=yes --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect,possible --log-file="$logs/%p.log" "$@"
status=$?

# A tool's error exit status may be what a test expects, so the logs have the last word.
failed=0
for log in "$logs"/*.log; do
    if ! grep -q 'ERROR SUMMARY: 0 errors' "$log"; then
        cat "$log"
        failed=1
    fi
done
if [ "$status" -ne 0 ] || [ "$failed" -ne 0 ]; then
    echo "memcheck failed (exit status $status); logs in $logs" >&2
    exit 1
fi
