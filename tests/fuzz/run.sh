#!/usr/bin/env bash
# Runs every fuzz target of a CDC_FUZZ build for a number of seconds each, on
# corpora seeded into the build directory, and prints each target's executions.
#   run.sh <build-dir> <seconds>
set -euo pipefail

build=${1:?build directory}
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
fuzz="$build/tests/fuzz"
corpus="$build/fuzz-corpus"

mkdir -p "$corpus"/{descriptors,sysfs,reg,script,bus_calls} "$build/fuzz-crashes"
"$fuzz/fuzz_seeds" "$corpus"
for f in "$root"/../shared/descriptors/*.bin "$root"/devices/descriptors/*.bin; do
    [ -f "$f" ] || continue
    cp "$f" "$corpus/sysfs/"
    # Plugged as it is, and as one function per interface group.
    { printf '\0\0\0\0'; cat "$f"; } >"$corpus/descriptors/$(basename "$f" .bin)-0.bin"
    { printf '\4\0\0\0'; cat "$f"; } >"$corpus/descriptors/$(basename "$f" .bin)-1.bin"
done
cp "$corpus"/descriptors/* "$corpus/bus_calls/"
# Inputs that once crashed a target run first in every fuzz run.
for dir in "$here"/regressions/*/; do
    [ -d "$dir" ] && cp "$dir"* "$corpus/$(basename "$dir")/"
done

status=0
for target in descriptors sysfs reg script bus_calls; do
    exe="$fuzz/fuzz_$target"
    [ -x "$exe" ] || continue
    log="$build/fuzz-$target.log"
    if ! ASAN_OPTIONS=detect_leaks=1 "$exe" -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=2048 \
        -artifact_prefix="$build/fuzz-crashes/$target-" "$corpus/$target" >"$log" 2>&1; then
        echo "fuzz_$target: FAILED, see $log" >&2
        grep -E "ERROR|BUGCHECK|SUMMARY|Test unit written" "$log" | head -5 >&2 || true
        status=1
    fi
    runs=$(grep -oE 'Done [0-9]+ runs' "$log" | grep -oE '[0-9]+' || echo 0)
    echo "fuzz_$target: $runs executions"
done
exit $status
