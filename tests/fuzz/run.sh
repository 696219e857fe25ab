#!/usr/bin/env bash
# Runs every fuzz target of a CDC_FUZZ build for a number of seconds each, on
# corpora seeded into the build directory, and prints each target's executions
# and executions per second.
#   run.sh <build-dir> <seconds>
set -euo pipefail

build=${1:?build directory}
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
fuzz="$build/tests/fuzz"
corpus="$build/fuzz-corpus"

bash "$here/seed.sh" "$build"

status=0
for target in descriptors sysfs reg script bus_calls control_calls; do
    exe="$fuzz/fuzz_$target"
    if [ ! -x "$exe" ]; then
        echo "fuzz_$target: not built" >&2
        status=1
        continue
    fi
    log="$build/fuzz-$target.log"
    # The entropic schedule's bookkeeping per input costs more than these
    # targets' inputs themselves; the bus-call targets keep their host and
    # devices between inputs, which the per-input leak check would take for
    # a leak each time (the driver's own leaks bug check at unload, the
    # process's at exit).
    extra=(-entropic=0 -reload=0)
    case $target in bus_calls | control_calls) extra+=(-detect_leaks=0) ;; esac
    # Recording each allocation's stack took a tenth of the time, and two
    # frames of it still a twentieth; a crash is run again from its input
    # with the full stacks.
    if ! ASAN_OPTIONS=detect_leaks=1:malloc_context_size=0 LLVM_PROFILE_FILE="$build/fuzz-$target.profraw" "$exe" \
        -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=2048 -print_final_stats=1 "${extra[@]}" \
        -artifact_prefix="$build/fuzz-crashes/$target-" "$corpus/$target" >"$log" 2>&1; then
        echo "fuzz_$target: FAILED, see $log" >&2
        grep -E "ERROR|BUGCHECK|SUMMARY|Test unit written" "$log" | head -5 >&2 || true
        status=1
    fi
    runs=$(grep -oE 'Done [0-9]+ runs' "$log" | grep -oE '[0-9]+' || echo 0)
    rate=$(grep -oE 'stat::average_exec_per_sec: *[0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)
    echo "fuzz_$target: $runs executions, $rate per second"
done
exit $status
