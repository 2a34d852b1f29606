#!/usr/bin/env bash
# The kernel's footprint: machine code and static data of the kernel
# library's objects built with -Os, and the stack that each level of
# preemption takes (16 nested preemptions, at -Os and in a Release build).
#
#   bench/footprint.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-footprint -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >/dev/null
cmake --build build-footprint -j "${JOBS:-$(nproc)}" --target onestack_kernel stack_per_level >/dev/null
cmake -S . -B build-footprint-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-footprint-release -j "${JOBS:-$(nproc)}" --target stack_per_level >/dev/null

# The interrupt ceilings' object apart: only a program that takes them links it.
mapfile -t objects < <(ls build-footprint/kernel/CMakeFiles/onestack_kernel.dir/*.o | grep -v interrupt_ceilings)
ceilings=(build-footprint/kernel/CMakeFiles/onestack_kernel.dir/interrupt_ceilings.cpp.o)
sum_sections() { # awk regex of section names, objects
    local pattern=$1
    shift
    size -A "$@" | awk -v pattern="$pattern" '$1 ~ pattern { total += $2 } END { print total + 0 }'
}
printf '%-44s %6s bytes\n' "kernel code (.text, -Os)" "$(sum_sections '^\.text' "${objects[@]}")"
printf '%-44s %6s bytes\n' "kernel message texts (.rodata, -Os)" "$(sum_sections '^\.rodata' "${objects[@]}")"
printf '%-44s %6s bytes\n' "kernel static data (.data + .bss)" "$(sum_sections '^\.(data|bss)' "${objects[@]}")"
printf '%-44s %6s bytes\n' "interrupt ceilings: code, when used" "$(sum_sections '^\.text' "${ceilings[@]}")"
./build-footprint/bench/stack_per_level | sed -n 's/^stack per level of preemption: \([0-9]*\) bytes.*/stack per level of preemption (-Os)            \1 bytes/p'
./build-footprint-release/bench/stack_per_level | sed -n 's/^stack per level of preemption: \([0-9]*\) bytes.*/stack per level of preemption (Release)        \1 bytes/p'
