#!/usr/bin/env bash
# The kernel on a Cortex-M board, built at -Os: code and static RAM of all
# of the kernel's objects (the port's PendSV and NMI handlers included),
# stack per level of preemption, instructions per operation counted under
# QEMU, and the interrupt path's latency.
#
#   boards/cortex-m/footprint.sh BOARD
set -euo pipefail
cd "$(dirname "$0")/../.."
board=${1:?usage: boards/cortex-m/footprint.sh BOARD}
build=build-$board-Os
cmake -S . -B "$build" --no-warn-unused-cli --toolchain "boards/$board/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build "$build" -j --target onestack_kernel stack_per_level count_instructions latency >/dev/null
mapfile -t objects < <(find "$build/kernel/CMakeFiles/onestack_kernel.dir" -name '*.obj' | sort)
sum() { arm-none-eabi-size -A "${objects[@]}" | awk -v p="$1" '$1 ~ p { n += $2 } END { print n + 0 }'; }
echo "== $board, -Os"
printf '%-44s %6s bytes\n' "kernel code (.text)" "$(sum '^\.text')"
printf '%-44s %6s bytes\n' "kernel message texts (.rodata)" "$(sum '^\.rodata')"
printf '%-44s %6s bytes\n' "kernel static RAM (.data + .bss)" "$(sum '^\.(data|bss)')"
"$build/qemu.sh" -kernel "$build/bench/stack_per_level.elf" 2>/dev/null | grep '^stack'
"$build/qemu.sh" -icount shift=0 -kernel "$build/boards/cortex-m/count_instructions.elf" 2>/dev/null |
    grep -v '^Happy'
boards/cortex-m/latency.sh "$build"
