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
# Beside them in REPORT.program: the functions whose address the program
# takes, the weak references it leaves undefined and the tail calls.
set -eu
tool=$1 nm=$2 elf=$3 report=$4
shift 4
if [ "$nm" = - ]; then
    "$tool" "$@" >"$report" || { cat "$report"; exit 1; }
else
    size=$("$nm" "$elf" | awk '$3 == "_stack_size" { print $1 }')
    [ -n "$size" ] || { echo "$elf: no _stack_size symbol" >&2; exit 1; }
    # The table's words, in memory order (little-endian), as addresses
    # without the Thumb bit; then the function at each. The debugging
    # sections' offsets may coincide with the table's addresses: only the
    # loaded sections count.
    symbols=$("$nm" "$elf")
    start=$(echo "$symbols" | awk '$3 == "__init_array_start" { print $1 }')
    end=$(echo "$symbols" | awk '$3 == "__init_array_end" { print $1 }')
    words=
    if [ -n "$start" ] && [ -n "$end" ] && [ "$start" != "$end" ]; then
        words=$("${nm%nm}objdump" -s --start-address="0x$start" --stop-address="0x$end" "$elf" |
            awk '/^Contents of section / { loaded = $4 !~ /^\.(debug|comment|ARM|riscv|stab)/; next }
                loaded && /^ [0-9a-f]+ [0-9a-f]+/ { for (i = 2; i <= 5; ++i) if (length($i) == 8 && $i ~ /^[0-9a-f]+$/) print $i }')
    fi
    constructors=
    for word in $words; do
        address=$(echo "$word" | sed 's/\(..\)\(..\)\(..\)\(..\)/\4\3\2\1/')
        address=$(printf '%08x' $((0x$address & ~1)))
        name=$(echo "$symbols" | awk -v a="$address" '$1 == a && ($2 == "T" || $2 == "t") { print $3; exit }')
        [ -n "$name" ] || { echo "$elf: no function at constructor address $address" >&2; exit 1; }
        constructors="$constructors $name"
    done
    # What the ELF says of the program, as lines of a task set.
    facts=$report.program
    : >"$facts"
    if [ -n "$constructors" ]; then
        printf 'calls BoardStart%s\n' "$constructors" >>"$facts"
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
        echo "address-taken" $taken >>"$facts"
    fi
    # A weak reference that the link left undefined (the C library's fflush
    # in a program without its streams) is never called: the code that
    # names it checks it first, and a call would reach no stack.
    echo "$symbols" | awk 'NF == 3 { print $3 }' | sort -u >"$report.defined"
    absent=$(for argument in "$@"; do
        if [ -d "$argument" ]; then find "$argument" -name '*.o' -o -name '*.obj'; fi
    done | xargs "$nm" | awk '$1 == "w" { print $2 }' | sort -u | comm -23 - "$report.defined")
    rm -f "$report.defined"
    if [ -n "$absent" ]; then
        echo "absent" $absent >>"$facts"
    fi
    # The calls made by a jump: a function that only ever jumps to another
    # (a call in tail position, frequent at -Os) has freed its frame by
    # then. From the disassembly: each function's direct calls and jumps to
    # the start of another; a pair with a jump and no call is a tail call.
    "${nm%nm}objdump" -d --no-show-raw-insn "$elf" | awk -F '\t' '
        /^[0-9a-f]+ <[^>]+>:$/ { f = $0; sub(/^[0-9a-f]+ </, "", f); sub(/>:$/, "", f); next }
        NF >= 3 && f != "" && match($3, /<[^>+]+>$/) {
            g = substr($3, RSTART + 1, RLENGTH - 2)
            op = $2
            sub(/ +$/, "", op)
            if (g == f || g ~ /\.cold/) next # the cold part of a function runs in its frame
            if (op == "bl" || op == "blx" || op == "jal" || op == "jalr" || op == "call") called[f " " g] = 1
            else if (op ~ /^(b|j|cb)/) jumped[f " " g] = 1
        }
        END { for (k in jumped) if (!(k in called)) print "tail-calls", k }' | sort >>"$facts"
    "$tool" --limit $((0x$size - 256)) --tasks "$facts" "$@" >"$report" || { cat "$report"; rm -f "$elf"; exit 1; }
fi
head -n 1 "$report"
