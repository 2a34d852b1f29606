#!/bin/sh
# Runs the stack tool on a program just linked and keeps its report:
#   check_stack.sh TOOL NM ELF REPORT TOOL-ARGUMENTS...
# NM is the toolchain's nm, to read the stack region's size from the ELF
# (its _stack_size, less the 256-byte guard), or - for no limit.
#
# On a board the start-up code calls the program's constructors through
# its table (from __init_array_start to __init_array_end) before main: the
# functions the table holds, read from the ELF with the toolchain's
# objdump, are given to the tool as what BoardStart's call through a
# pointer reaches. The boards' own description says the table is empty.
set -eu
tool=$1 nm=$2 elf=$3 report=$4
shift 4
if [ "$nm" = - ]; then
    "$tool" "$@" >"$report" || { cat "$report"; exit 1; }
else
    size=$("$nm" "$elf" | awk '$3 == "_stack_size" { print $1 }')
    [ -n "$size" ] || { echo "$elf: no _stack_size symbol" >&2; exit 1; }
    # The table's words, in memory order (little-endian), as addresses
    # without the Thumb bit; then the function at each.
    symbols=$("$nm" "$elf")
    start=$(echo "$symbols" | awk '$3 == "__init_array_start" { print $1 }')
    end=$(echo "$symbols" | awk '$3 == "__init_array_end" { print $1 }')
    words=
    if [ -n "$start" ] && [ -n "$end" ] && [ "$start" != "$end" ]; then
        words=$("${nm%nm}objdump" -s --start-address="0x$start" --stop-address="0x$end" "$elf" |
            awk '/^ [0-9a-f]+ [0-9a-f]+/ { for (i = 2; i <= 5; ++i) if (length($i) == 8 && $i ~ /^[0-9a-f]+$/) print $i }')
    fi
    constructors=
    for word in $words; do
        address=$(echo "$word" | sed 's/\(..\)\(..\)\(..\)\(..\)/\4\3\2\1/')
        address=$(printf '%08x' $((0x$address & ~1)))
        name=$(echo "$symbols" | awk -v a="$address" '$1 == a && ($2 == "T" || $2 == "t") { print $3; exit }')
        [ -n "$name" ] || { echo "$elf: no function at constructor address $address" >&2; exit 1; }
        constructors="$constructors $name"
    done
    tables=
    if [ -n "$constructors" ]; then
        printf 'calls BoardStart%s\n' "$constructors" >"$report.constructors"
        tables="--tasks $report.constructors"
    fi
    # The functions whose address the program's own objects take (in the
    # first folder of call graphs given, the program's), from their
    # relocations other than calls: each may be an entry the kernel runs,
    # which the tool refuses unless the task set names it.
    own=
    for argument in "$@"; do
        if [ -d "$argument" ]; then
            own=$argument
            break
        fi
    done
    functions=$(echo "$symbols" | awk '$2 == "T" || $2 == "t" { print $3 }' | sort -u)
    taken=$(find "$own" -name '*.o' -o -name '*.obj' | while read -r object; do
        "${nm%nm}readelf" -rW "$object"
    done | awk '$3 ~ /ABS32|MOVW|MOVT|HI20|LO12/ { print $5 }' | sort -u | comm -12 - "$(printf '%s\n' "$functions" >"$report.functions" && echo "$report.functions")")
    rm -f "$report.functions"
    if [ -n "$taken" ]; then
        echo "address-taken" $taken >"$report.taken"
        tables="$tables --tasks $report.taken"
    fi
    # shellcheck disable=SC2086 # the table's file, if any, is two words
    "$tool" --limit $((0x$size - 256)) $tables "$@" >"$report" || { cat "$report"; rm -f "$elf"; exit 1; }
fi
head -n 1 "$report"
