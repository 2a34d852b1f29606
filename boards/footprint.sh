#!/usr/bin/env bash
# The kernel on a board, built at -Os: code and static RAM of all of the
# kernel's objects (the port's interrupt exit included), stack per level of
# preemption, instructions per operation counted under QEMU, and the
# interrupt path's latency.
#
#   boards/footprint.sh BOARD
set -euo pipefail
cd "$(dirname "$0")/.."
board=${1:?usage: boards/footprint.sh BOARD}
build=build-$board-Os
cmake -S . -B "$build" --no-warn-unused-cli --toolchain "boards/$board/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build "$build" -j "${JOBS:-$(nproc)}" --target onestack_kernel stack_per_level count_instructions latency \
    floor >/dev/null
# The toolchain's own binutils, beside its compiler.
compiler=$(awk -F= '/^CMAKE_C_COMPILER:/ { print $2 }' "$build/CMakeCache.txt")
export ONESTACK_BINUTILS=${compiler%gcc}
if [[ -d $build/boards/riscv ]]; then
    # RISC-V objects shrink when linked: the sizes are the link map's.
    cmake --build "$build" -j "${JOBS:-$(nproc)}" --target kernel_image >/dev/null
    sum() {
        awk -v p="$1" -v only="${2:-}" '
            function hex(s,    i, n) { n = 0; for (i = 3; i <= length(s); ++i) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1; return n }
            /^ \.[^ ]+$/ { section = $1; next }
            /^ \./ { section = $1 }
            /libonestack\.a\(/ && section ~ p && ($0 ~ /interrupt_ceilings/) == (only == "ceilings") { n += hex($(NF - 1)) }
            { section = "" }
            END { print n + 0 }' "$build/boards/riscv/kernel_image.map"
    }
else
    mapfile -t objects < <(find "$build/kernel/CMakeFiles/onestack_kernel.dir" -name '*.obj' | sort)
    sum() {
        local from=("${objects[@]}")
        if [[ ${2:-} == ceilings ]]; then
            mapfile -t from < <(printf '%s\n' "${objects[@]}" | grep interrupt_ceilings)
        else
            mapfile -t from < <(printf '%s\n' "${objects[@]}" | grep -v interrupt_ceilings)
        fi
        "${ONESTACK_BINUTILS}size" -A "${from[@]}" | awk -v p="$1" '$1 ~ p { n += $2 } END { print n + 0 }'
    }
fi
echo "== $board, -Os"
printf '%-44s %6s bytes\n' "kernel code (.text)" "$(sum '^\.text')"
printf '%-44s %6s bytes\n' "kernel message texts (.rodata)" "$(sum '^\.s?rodata')"
printf '%-44s %6s bytes\n' "kernel static RAM (.data + .bss)" "$(sum '^\.s?(data|bss)')"
# A firmware that uses only the kernel: the bytes it loads, text and
# initialised data, at most 5 KiB.
image=$("${ONESTACK_BINUTILS}size" "$(echo "$build"/boards/*/floor.elf)" | awk 'NR == 2 { print $1 + $2 }')
printf '%-44s %6s bytes\n' "one-task firmware image (text + data)" "$image"
if [ "$image" -gt 5120 ]; then
    echo "footprint.sh: the one-task firmware's image is $image bytes, above 5 KiB" >&2
    exit 1
fi
# Linked only into a program that takes interrupt ceilings.
printf '%-44s %6s bytes\n' "interrupt ceilings: code, when used" "$(sum '^\.text' ceilings)"
printf '%-44s %6s bytes\n' "interrupt ceilings: static RAM, when used" "$(sum '^\.s?(data|bss)' ceilings)"
"$build/qemu.sh" -kernel "$build/bench/stack_per_level.elf" 2>/dev/null | grep '^stack'
"$build/qemu.sh" -icount shift=0 -kernel "$(echo "$build"/boards/*/count_instructions.elf)" 2>/dev/null |
    grep -v '^Happy' | tee "$build/count_instructions.txt"
# The same counts as the kernel's costs for the response-time analysis, one
# nanosecond an instruction as under -icount shift=0 (on a chip, scale them
# by its clock and its cycles per instruction): an activation with its
# dispatch and its task's return, the preemption round trip; an interrupt's
# entry and exit, beyond that; a timer's expiry, beyond an activation; and
# a timer's task's release after its tick, the interrupt's path but the
# task's own run.
awk -v board="$board" '
    function count(what) { for (i = 1; i <= n; ++i) if (index(line[i], what) == 1) { split(line[i], w, /  +/); return w[2] } }
    { line[++n] = $0 }
    END {
        trip = count("preemption round trip"); activation = count("interrupt: activation")
        expiry = count("interrupt: timer expiry")
        if (trip == "" || activation == "" || expiry == "") {
            print "footprint.sh: the instruction counts lack a figure the costs need" >"/dev/stderr"
            exit 1
        }
        printf "# The kernel'"'"'s costs on %s at -Os, from boards/footprint.sh: one instruction\n", board
        printf "# counted under QEMU, one nanosecond.\n"
        printf "cost activation %dns\ncost exit %dns\ncost expiry %dns\ncost tick %dns\n",
            trip + 0.999, activation - trip + 0.999, expiry - activation + 0.999, expiry - trip + 0.999
    }' "$build/count_instructions.txt" >"$build/kernel.costs"
echo "the kernel's costs, for onestack_timing: $build/kernel.costs"
boards/latency.sh "$build"
