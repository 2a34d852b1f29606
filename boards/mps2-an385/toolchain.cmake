# Arm's MPS2 board with the AN385 image (Cortex-M3) as QEMU models it.
set(ONESTACK_BOARD_DIR ${CMAKE_CURRENT_LIST_DIR})
set(ONESTACK_CPU_FLAGS "-mcpu=cortex-m3")
set(ONESTACK_QEMU_MACHINE mps2-an385)
set(ONESTACK_QEMU_CPU cortex-m3)
include(${CMAKE_CURRENT_LIST_DIR}/../cortex-m/toolchain.cmake)
