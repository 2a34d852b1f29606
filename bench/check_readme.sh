#!/usr/bin/env bash
# Fails when a figure in the README's footprint tables, for the host and for
# the Cortex-M3, differs from what bench/footprint.sh and
# cortex-m3/footprint.sh measure now. Run after a change to the kernel, and
# in CI; the board half needs the arm-none-eabi toolchain and QEMU.
#
#   bench/check_readme.sh [--host-only]
set -euo pipefail
cd "$(dirname "$0")/.."
mismatches=0

# The cells after the first of the README row whose first cell starts with
# $1, without " bytes".
cells() {
    awk -F'|' -v label="$1" 'index($2, " " label) == 1 {
        for (i = 3; i < NF; ++i) { c = $i; gsub(/^ +| +$/, "", c); sub(/ bytes$/, "", c); printf "%s ", c } exit }' README.md
}

expect() { # row label, measured figures...
    local label=$1
    shift
    local want="$* " have
    have=$(cells "$label")
    if [ "$have" != "$want" ]; then
        echo "README row '$label': has '${have% }', measured '${want% }'"
        mismatches=$((mismatches + 1))
    fi
}

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
    echo "stack per level differs between -Os ($stack_os) and Release ($stack_release): the README row has one figure"
    mismatches=$((mismatches + 1))
fi

if [ "${1:-}" != "--host-only" ]; then
    board=$(cortex-m3/footprint.sh)
    # The figure after label $2 in the -Os and -O2 halves of the report.
    both() {
        for flags in Os O2; do
            figure "$(sed -n "/^== -$flags/,/^== /p" <<<"$board" | sed 1d)" "$1" | sed 's/\.0$//'
        done | tr '\n' ' '
    }
    expect 'kernel machine code (`.text`), PendSV and NMI handlers included' $(both 'kernel code')
    expect 'kernel message texts (`.rodata`)' $(both 'kernel message texts')
    expect 'kernel static RAM' $(both 'kernel static RAM')
    expect 'stack per level of preemption (minimal task entry included)' $(both 'stack per level')
    expect 'instructions per preemption round trip' $(both 'preemption round trip')
    expect 'instructions per `AcquireResource` + `ReleaseResource`' $(both 'acquire + release')
    expect 'interrupt latency' $(both 'interrupt latency')
    expect 'interrupt return' $(both 'interrupt return')
fi

if [ $mismatches -gt 0 ]; then
    echo "$mismatches README figure(s) out of date"
    exit 1
fi
echo "README footprint figures match the measurements"
