# Arm's MPS2 board with the AN500 image (Cortex-M7 with a double-precision
# FPU) as QEMU models it, everything built hard-float.
set(ONESTACK_BOARD_DIR ${CMAKE_CURRENT_LIST_DIR})
set(ONESTACK_CPU_FLAGS "-mcpu=cortex-m7 -mfpu=fpv5-d16 -mfloat-abi=hard")
set(ONESTACK_QEMU_MACHINE mps2-an500)
set(ONESTACK_QEMU_CPU cortex-m7)
set(ONESTACK_BOARD_FPU ON)
include(${CMAKE_CURRENT_LIST_DIR}/../cortex-m/toolchain.cmake)
