#!/usr/bin/env bash
# The board's traced runs: examples/interrupts.c and examples/periodic.c
# built for the Cortex-M3 board (lm3s6965evb) with the recorder, run under
# QEMU on instruction-counted time, their traces written to the host
# through semihosting, and converted by the host's onestack_trace to
# build-trace/interrupts.{json,vcd,svg} and periodic.json.
#
#   tools/trace/board_trace.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
werror=${WERROR:-OFF}
cmake -S . -B build-trace -DONESTACK_TRACE=ON -DONESTACK_WERROR="$werror" >/dev/null
cmake --build build-trace -j "${JOBS:-$(nproc)}" --target onestack_trace >/dev/null
cmake -S . -B build-m3-trace --no-warn-unused-cli --toolchain boards/lm3s6965evb/toolchain.cmake \
    -DONESTACK_TRACE=ON -DONESTACK_WERROR="$werror" >/dev/null
cmake --build build-m3-trace -j "${JOBS:-$(nproc)}" --target interrupts periodic >/dev/null
rm -f build-trace/interrupts.trace
# Semihosting opens the file in QEMU's working directory.
rm -f build-trace/interrupts-uart.trace
(cd build-trace && ONESTACK_QEMU_SERIAL=file:interrupts-uart.trace ../build-m3-trace/qemu.sh \
    -icount shift=0,sleep=off -kernel ../build-m3-trace/examples/interrupts.elf >interrupts.out 2>/dev/null)
# The dump through the UART is the dump through semihosting, byte for byte.
cmp build-trace/interrupts.trace build-trace/interrupts-uart.trace
diff <(grep -v '^Timer with period zero' build-trace/interrupts.out) examples/interrupts.expected
./build-trace/tools/trace/onestack_trace build-trace/interrupts.trace --json build-trace/interrupts.json \
    --vcd build-trace/interrupts.vcd --svg build-trace/interrupts.svg
cmake -DJSON=build-trace/interrupts.json -P tools/trace/check_trace.cmake
# The periodic example, traced over its first ticks.
rm -f build-trace/periodic.trace
(cd build-trace && ../build-m3-trace/qemu.sh -icount shift=0,sleep=off \
    -kernel ../build-m3-trace/examples/periodic.elf >periodic.out 2>/dev/null)
grep -q '^10 ticks, 17 runs, 0 late, 0 missed$' build-trace/periodic.out
./build-trace/tools/trace/onestack_trace build-trace/periodic.trace --json build-trace/periodic.json
cmake -DJSON=build-trace/periodic.json -P tools/trace/check_trace.cmake
