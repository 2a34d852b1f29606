# The BBC micro:bit's nRF51822 (Cortex-M0, ARMv6-M) as QEMU's microbit
# models it. The core has no MPU: the stack is unguarded.
set(ONESTACK_BOARD_DIR ${CMAKE_CURRENT_LIST_DIR})
set(ONESTACK_CPU_FLAGS "-mcpu=cortex-m0")
set(ONESTACK_QEMU_MACHINE microbit)
set(ONESTACK_QEMU_CPU cortex-m0)
set(ONESTACK_BOARD_UNGUARDED ON)
include(${CMAKE_CURRENT_LIST_DIR}/../cortex-m/toolchain.cmake)
# The stress test's bound, with channels sent to at every level, passes the
# 4 KiB its layout gives a program's stack by default.
set(ONESTACK_BOARD_STRESS_STACK 5K)
