#!/usr/bin/env bash
# Fails when a figure in the documentation's tables (README.md and docs/),
# for the host and for each board, differs from what bench/footprint.sh and
# boards/footprint.sh measure now. Run after a change to the kernel, and
# in CI; the board half needs the arm-none-eabi toolchain and QEMU.
#
#   bench/check_readme.sh [--host-only]
set -euo pipefail
cd "$(dirname "$0")/.."
mismatches=0

# The cells after the first of the row whose first cell starts with
# $1 (or is $1, with exact=1), without " bytes"; with after=TEXT, the first
# such row below the line that starts with TEXT.
cells() {
    awk -F'|' -v label="$1" -v exact="${exact:-0}" -v after="${after:-}" '
        after != "" && !started { started = index($0, after) == 1; next }
        { first = $2; gsub(/^ +| +$/, "", first) }
        exact ? first == label : index($2, " " label) == 1 {
        for (i = 3; i < NF; ++i) { c = $i; gsub(/^ +| +$/, "", c); sub(/ bytes$/, "", c); printf "%s ", c } exit }' README.md docs/*.md
}

expect() { # row label, measured figures...
    local label=$1
    shift
    local want="$* " have
    have=$(cells "$label")
    if [ "$have" != "$want" ]; then
        echo "row '$label': has '${have% }', measured '${want% }'"
        mismatches=$((mismatches + 1))
    fi
}

# The documentation's examples ask for the package this tree builds.
version=$(sed -n 's/^project(onestack VERSION \([0-9]*\.[0-9]*\).*/\1/p' CMakeLists.txt)
while read -r asked; do
    if [ "$asked" != "$version" ]; then
        echo "documentation: find_package(onestack $asked ...), but the package is $version"
        mismatches=$((mismatches + 1))
    fi
done < <(sed -n 's/.*find_package(onestack \([0-9.]*\).*/\1/p' README.md docs/*.md)

host=$(bench/footprint.sh)
# The first number on the line of report $1 that starts with $2.
figure() { awk -v p="$2" 'index($0, p) == 1 { for (i = 1; i <= NF; ++i) if ($i ~ /^[0-9.]+$/) { print $i; exit } }' <<<"$1"; }
expect 'kernel machine code (`.text`, `-Os`)' "$(figure "$host" 'kernel code')"
expect 'kernel message texts (`.rodata`, `-Os`)' "$(figure "$host" 'kernel message texts')"
expect 'kernel static data' "$(figure "$host" 'kernel static data')"
stack_os=$(figure "$host" 'stack per level of preemption (-Os)')
stack_release=$(figure "$host" 'stack per level of preemption (Release)')
if [ "$stack_os" = "$stack_release" ]; then
    expect 'stack per level of preemption (`-Os` and `-O3`)' "$stack_os"
else
    echo "stack per level differs between -Os ($stack_os) and Release ($stack_release): the row has one figure"
    mismatches=$((mismatches + 1))
fi

# The boards' table: one row per board, at -Os.
BOARDS=(lm3s6965evb mps2-an385 mps2-an386 mps2-an500 microbit mps2-an505 virt-rv32imac virt-rv32imafc)
if [ "${1:-}" != "--host-only" ]; then
    for board in "${BOARDS[@]}"; do
        report=$(boards/footprint.sh "$board")
        on_board() { figure "$report" "$1" | sed 's/\.0$//'; }
        expiry=$(( $(on_board 'interrupt: timer expiry') - $(on_board 'interrupt: activation') ))
        after='| on the board, `-Os` | code' exact=1 expect "\`$board\`" "$(on_board 'kernel code')" "$(on_board 'kernel static RAM')" \
            "$(on_board 'stack per level')" "$(on_board 'preemption round trip')" "$(on_board 'acquire + release')" \
            "$(on_board 'interrupt latency')" "$(on_board 'interrupt return')" "$(on_board 'tick, eight timers')" "$expiry"
        # The channels' table, under its own heading row.
        after='| board, `-Os` | send, not empty' exact=1 expect "\`$board\`" "$(on_board 'channel: send, not empty')" \
            "$(on_board 'channel: receive')" "$(on_board 'channel: handler send')" "$(on_board 'interrupt latency')"
        # The one-task firmware's image, likewise.
        after='| board, `-Os` | one-task firmware image' exact=1 expect "\`$board\`" \
            "$(on_board 'one-task firmware image')"
        # The interrupt ceilings' table, likewise.
        after='| board, `-Os` | acquire + release | code, when used' exact=1 expect "\`$board\`" \
            "$(on_board 'interrupt ceiling ')" "$(on_board 'interrupt ceilings: code')" \
            "$(on_board 'interrupt ceilings: static RAM')"
    done
fi

if [ $mismatches -gt 0 ]; then
    echo "$mismatches documentation figure(s) out of date"
    exit 1
fi
echo "the documentation's figures match the measurements"
