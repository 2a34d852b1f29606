#!/usr/bin/env bash
# The kernel on the Cortex-M3: code and static RAM of the kernel's objects,
# stack per level of preemption, instructions per operation counted under
# QEMU, and the interrupt path's latency, for builds at -Os and at -O2.
#
#   cortex-m3/footprint.sh
set -euo pipefail
cd "$(dirname "$0")/.."
qemu=(qemu-system-arm -machine lm3s6965evb -cpu cortex-m3 -display none -monitor none -serial none
      -semihosting-config enable=on,target=native)

for flags in Os O2; do
    build=build-m3-$flags
    type=MinSizeRel
    [ $flags = O2 ] && type=RelWithDebInfo # -O2; debug information does not count in .text
    cmake -S . -B $build --no-warn-unused-cli --toolchain cortex-m3/toolchain.cmake -DCMAKE_BUILD_TYPE=$type >/dev/null
    cmake --build $build -j --target onestack_kernel stack_per_level count_instructions latency >/dev/null
    objects=($build/kernel/CMakeFiles/onestack_kernel.dir/*.obj)
    sum() { arm-none-eabi-size -A "${objects[@]}" | awk -v p="$1" '$1 ~ p { n += $2 } END { print n + 0 }'; }
    echo "== -$flags"
    printf '%-44s %6s bytes\n' "kernel code (.text)" "$(sum '^\.text')"
    printf '%-44s %6s bytes\n' "kernel message texts (.rodata)" "$(sum '^\.rodata')"
    printf '%-44s %6s bytes\n' "kernel static RAM (.data + .bss)" "$(sum '^\.(data|bss)')"
    "${qemu[@]}" -kernel $build/bench/stack_per_level.elf 2>/dev/null | grep '^stack'
    "${qemu[@]}" -icount shift=0 -kernel $build/cortex-m3/count_instructions.elf 2>/dev/null | grep -v '^Happy'
    cortex-m3/latency.sh $build
done
