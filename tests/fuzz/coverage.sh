#!/usr/bin/env bash
# The driver's source coverage reached by the fuzz corpora: every target of a
# CDC_FUZZ build runs its corpus once (the seeds, the regression inputs and
# whatever earlier fuzz runs kept), the driver image's counters are merged,
# and the fraction of its lines and branches reached is printed with the
# error traces no input reached.
#   coverage.sh <build-dir>
set -euo pipefail

build=${1:?build directory}
here=$(cd "$(dirname "$0")" && pwd)
fuzz="$build/tests/fuzz"
corpus="$build/fuzz-corpus"
out="$build/fuzz-coverage"
image="$build/cdc/bus/kernel/winnt/cdcbus.so"
profdata=$(command -v llvm-profdata || ls /usr/lib/llvm-*/bin/llvm-profdata | tail -1)
cov=$(command -v llvm-cov || ls /usr/lib/llvm-*/bin/llvm-cov | tail -1)

bash "$here/seed.sh" "$build"
rm -rf "$out"
mkdir -p "$out"
for target in descriptors sysfs reg script bus_calls control_calls; do
    exe="$fuzz/fuzz_$target"
    [ -x "$exe" ] || continue
    ASAN_OPTIONS=detect_leaks=1 LLVM_PROFILE_FILE="$out/$target-%p.profraw" "$exe" -runs=0 -max_len=4096 \
        -rss_limit_mb=2048 "$corpus/$target" >"$out/$target.log" 2>&1 || {
        echo "fuzz_$target: FAILED on its corpus, see $out/$target.log" >&2
        exit 1
    }
done
"$profdata" merge -sparse "$out"/*.profraw -o "$out/driver.profdata"

sources='/cdc/bus/kernel/winnt/'
"$cov" report "$image" -instr-profile="$out/driver.profdata" -show-branch-summary \
    -ignore-filename-regex='^(.*/platform/|/usr/)' >"$out/report.txt"
"$cov" export "$image" -instr-profile="$out/driver.profdata" -format=lcov \
    -ignore-filename-regex='^(.*/platform/|/usr/)' >"$out/driver.lcov"

# Lines and branches from the lcov totals of the driver's sources.
awk -v sources="$sources" '
    /^SF:/ { keep = index($0, sources) > 0 }
    keep && /^LF:/ { lf += substr($0, 4) }
    keep && /^LH:/ { lh += substr($0, 4) }
    keep && /^BRF:/ { brf += substr($0, 5) }
    keep && /^BRH:/ { brh += substr($0, 5) }
    END {
        printf "driver lines: %d of %d reached (%.1f%%)\n", lh, lf, lf ? 100 * lh / lf : 0
        printf "driver branches: %d of %d reached (%.1f%%)\n", brh, brf, brf ? 100 * brh / brf : 0
    }' "$out/driver.lcov"

# An error path is marked by its error trace: those no input reached.
echo "error traces not reached:"
awk -v sources="$sources" '
    /^SF:/ { file = substr($0, 4); keep = index(file, sources) > 0; delete zero; next }
    keep && /^DA:/ { split(substr($0, 4), f, ","); if (f[2] == 0) zero[f[1]] = 1; next }
    keep && /^end_of_record/ {
        n = 0
        while ((getline line < file) > 0) {
            n++
            if ((n in zero) && line ~ /TRACE_LEVEL_ERROR/) {
                sub(/^[ \t]+/, "", line)
                short = file; sub(/.*\/cdc\/bus\/kernel\/winnt\//, "", short)
                printf "  %s:%d: %s\n", short, n, line
            }
        }
        close(file)
    }' "$out/driver.lcov"
echo "full report: $out/report.txt"
