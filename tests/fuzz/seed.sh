#!/usr/bin/env bash
# Seeds the fuzz corpora in a CDC_FUZZ build directory: the generated seeds,
# the project's descriptor files, and the regression inputs.
#   seed.sh <build-dir>
set -euo pipefail

build=${1:?build directory}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
fuzz="$build/tests/fuzz"
corpus="$build/fuzz-corpus"

mkdir -p "$corpus"/{descriptors,sysfs,reg,script,bus_calls,control_calls} "$build/fuzz-crashes"
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

