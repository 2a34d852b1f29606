#!/usr/bin/env bash
# Interrupt latency on a board, in instructions, exact: latency.elf
# runs once under QEMU with one instruction per translation block and every
# block's execution logged, and the log's program counters are counted
# from the handler's ActivateTask call to the task entry's first
# instruction, and from the entry's return to the interrupted instruction;
# then from a handler's send to an empty channel to the instruction after
# its consumer's first receive.
# On the Cortex-M, exception entry and return are not instructions; on
# silicon each costs about 12 cycles more. On RISC-V the trap's entry and
# exit are instructions, and counted.
#
#   boards/latency.sh build-dir     (ONESTACK_BINUTILS: the toolchain's prefix)
set -euo pipefail
elf=$(echo "$1"/boards/*/latency.elf)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$1/qemu.sh" -singlestep -d exec,nochain -D "$log" -kernel "$elf" >/dev/null 2>&1
# Addresses as the log writes them, eight lower-case hex digits, which
# compare as strings in the order of the numbers.
symbols=$("${ONESTACK_BINUTILS:-arm-none-eabi-}nm" -S "$elf")
address() { awk -v name="$1" '$NF == name { print $1 }' <<<"$symbols"; }
entry=$(address LatencyEntry)
entry_size=$(awk '$NF == "LatencyEntry" { print $2 }' <<<"$symbols")
entry_end=$(printf '%08x' $((0x$entry + 0x$entry_size)))
awk -v activate="$(address ActivateTask)" -v handler="$(address IRQ0_Handler)" -v entry="$entry" \
    -v entry_end="$entry_end" -v interrupted="$(address latency_interrupted)" -v send="$(address SendChannel)" \
    -v received="$(address latency_received)" '
    # Compared as texts, never as numbers: "00001e02" reads as the number 100.
    BEGIN { activate = "x" activate; handler = "x" handler; entry = "x" entry; entry_end = "x" entry_end
            interrupted = "x" interrupted; send = "x" send; received = "x" received }
    /^Trace/ {
        split($4, fields, "/"); pc = "x" fields[2]; ++n
        if (pc == handler) in_handler = 1
        if (in_handler && !called && pc == activate) called = n
        if (called && !entered && pc == entry) entered = n
        if (entered && pc >= entry && pc < entry_end) returned = n
        if (returned && !resumed && pc == interrupted && n > returned) resumed = n
        if (resumed && !sent && pc == send) sent = n
        if (sent && !got && pc == received) got = n
    }
    END {
        if (!called || !entered || !resumed || !got) { print "latency: the path was not found in the log" > "/dev/stderr"; exit 1 }
        printf "%-44s %6d instructions\n", "interrupt latency, ActivateTask to entry", entered - called
        printf "%-44s %6d instructions\n", "interrupt return, entry to interrupted code", resumed - returned - 1
        printf "%-44s %6d instructions\n", "channel: handler send to consumer holding it", got - sent
    }' "$log"
