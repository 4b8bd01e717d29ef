#!/bin/sh
# Runs one fuzz target for a bounded time from its seed corpus; new inputs
# and any crash file go to the build directory, never the source tree.
# Usage: fuzz_run.sh <clang++ or empty> <fuzzer binary> <seed corpus dir> <seconds>
# Exit status 77 (skipped) when the binary was not built for want of clang or
# of its fuzzer runtime.
clangxx=$1
fuzzer=$2
seeds=$3
seconds=$4
if [ ! -x "$fuzzer" ]; then
    skipped="$(dirname "$fuzzer")/SKIPPED"
    if [ -z "$clangxx" ] || ! command -v "$clangxx" >/dev/null 2>&1; then
        echo "fuzz target skipped: clang++ not found"
        exit 77
    fi
    if [ -f "$skipped" ]; then
        cat "$skipped"
        exit 77
    fi
    echo "fuzz target $fuzzer was not built"
    exit 1
fi
work="$fuzzer.corpus"
mkdir -p "$work"
# A finding must fail the test: libFuzzer's own exit code for one is 77,
# which CTest would report as skipped.
exec "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 -error_exitcode=1 \
    -artifact_prefix="$fuzzer-" -print_final_stats=1 "$work" "$seeds"
