#!/bin/bash
# Re-breaks the driver with each patch here, in a scratch copy of the tree,
# and checks that the explorer finds the fault within the suite's budget of
# schedules and names a seed that replays it.
#
#   tests/explore/rebreak/run.sh [PATCH...]      (default: every *.patch here)
#
# A patch's header (the text before its diff) says what to run and what the
# failure looks like:
#   Run: SCENARIO [cdcexplore options]    one or more (the suite's random and
#                                         PCT runs): at least one must find it
#   Expect: EXTENDED-REGEX                the first failure line must match
# For each run it prints how many schedules it took and the seed; that seed,
# run as one schedule, must fail the same way.
# The scratch copy and its build live in $REBREAK_DIR (build-rebreak); files
# the patch does not touch keep their timestamps, so each patch rebuilds only
# what it changes.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
scratch=${REBREAK_DIR:-$root/build-rebreak}
src=$scratch/src
build=$scratch/build
jobs=${JOBS:-2}

if [ $# -eq 0 ]; then
    set -- "$here"/*.patch
fi

sync_tree() {
    mkdir -p "$src"
    # Content-compared and without the source's times: a file restored after
    # a patch gets a fresh time and is rebuilt.
    (cd "$root" && git ls-files -z --cached --others --exclude-standard) | while IFS= read -r -d '' f; do
        [ -f "$root/$f" ] || continue
        if ! cmp -s "$root/$f" "$src/$f"; then
            mkdir -p "$(dirname "$src/$f")"
            cp "$root/$f" "$src/$f"
        fi
    done
}

unaddress='s/[0-9A-Fa-f]\{8,\}/ADDRESS/g'
status=0
for patch in "$@"; do
    name=$(basename "$patch" .patch)
    sync_tree
    if ! patch -s -p1 -d "$src" <"$patch"; then
        echo "$name: the patch does not apply"
        status=1
        continue
    fi
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCDC_WERROR=ON \
            ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER} \
            ${CMAKE_C_COMPILER_LAUNCHER:+-DCMAKE_C_COMPILER_LAUNCHER=$CMAKE_C_COMPILER_LAUNCHER} >/dev/null || exit 2
    fi
    if ! cmake --build "$build" -j"$jobs" --target cdcexplore cdcbus_driver >"$scratch/$name.build.log" 2>&1; then
        echo "$name: the re-broken tree does not build (see $scratch/$name.build.log)"
        status=1
        continue
    fi
    expect=$(sed -n 's/^Expect: //p' "$patch" | head -1)
    found=0
    while read -r run; do
        # shellcheck disable=SC2086
        set -- $run
        scenario=$1
        shift
        out=$("$build/tests/cdcexplore" "$scenario" "$@" 2>&1)
        code=$?
        summary=$(printf '%s\n' "$out" | grep "^$scenario: .* schedules, " | tail -1)
        seed=$(printf '%s\n' "$summary" | sed -n 's/.*first failing seed \([0-9]*\).*/\1/p')
        first=$(printf '%s\n' "$out" | grep -m1 "^seed $seed: " | sed 's/^seed [0-9]*: //')
        if [ "$code" -ne 1 ] || [ -z "$seed" ] || ! printf '%s\n' "$first" | grep -Eq -- "$expect"; then
            echo "$name: not found by $scenario $* ($summary; first failure: ${first:-none})"
            continue
        fi
        start=1
        strategy=(--strategy random)
        prev=""
        for arg in "$@"; do
            [ "$prev" = "--seed" ] && start=$arg
            [ "$prev" = "--strategy" ] && strategy=(--strategy "$arg")
            [ "$prev" = "--depth" ] && strategy+=(--depth "$arg")
            prev=$arg
        done
        # Addresses differ from run to run.
        again=$("$build/tests/cdcexplore" "$scenario" --schedules 1 --seed "$seed" "${strategy[@]}" 2>&1 |
            grep -m1 "^seed $seed: " | sed 's/^seed [0-9]*: //')
        if [ "$(printf '%s' "$again" | sed "$unaddress")" != "$(printf '%s' "$first" | sed "$unaddress")" ]; then
            echo "$name: seed $seed of $scenario does not replay the failure"
            status=1
            continue
        fi
        failing=$(printf '%s\n' "$summary" | sed -n 's/.* schedules, \([0-9]*\) failures.*/\1/p')
        echo "$name: found by $scenario $* after $((seed - start + 1)) schedules ($failing failing);" \
            "cdcexplore $scenario --replay $seed ${strategy[*]}: $first"
        found=1
    done < <(sed -n 's/^Run: //p' "$patch")
    if [ $found -eq 0 ]; then
        echo "$name: NOT FOUND"
        status=1
    fi
done
# Leave the scratch copy as the tree is.
sync_tree
exit $status
