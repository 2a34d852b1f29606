# Arm's MPS2 board with the AN386 image (Cortex-M4 with a single-precision
# FPU) as QEMU models it, everything built hard-float.
set(ONESTACK_BOARD_DIR ${CMAKE_CURRENT_LIST_DIR})
set(ONESTACK_CPU_FLAGS "-mcpu=cortex-m4 -mfpu=fpv4-sp-d16 -mfloat-abi=hard")
set(ONESTACK_QEMU_MACHINE mps2-an386)
set(ONESTACK_QEMU_CPU cortex-m4)
set(ONESTACK_BOARD_FPU ON)
include(${CMAKE_CURRENT_LIST_DIR}/../cortex-m/toolchain.cmake)
