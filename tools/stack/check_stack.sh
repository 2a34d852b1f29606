#!/bin/sh
# Runs the stack tool on a program just linked and keeps its report:
#   check_stack.sh TOOL NM ELF REPORT TOOL-ARGUMENTS...
# NM is the toolchain's nm, to read the stack region's size from the ELF
# (its _stack_size, less the 256-byte guard), or - for no limit.
set -eu
tool=$1 nm=$2 elf=$3 report=$4
shift 4
if [ "$nm" = - ]; then
    "$tool" "$@" >"$report" || { cat "$report"; exit 1; }
else
    size=$("$nm" "$elf" | awk '$3 == "_stack_size" { print $1 }')
    [ -n "$size" ] || { echo "$elf: no _stack_size symbol" >&2; exit 1; }
    "$tool" --limit $((0x$size - 256)) "$@" >"$report" || { cat "$report"; rm -f "$elf"; exit 1; }
fi
head -n 1 "$report"
