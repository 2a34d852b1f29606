# Arm's MPS2 board with the AN505 image (Cortex-M33, ARMv8-M Mainline) as
# QEMU models it, run in the Secure state it boots in, built soft-float.
set(ONESTACK_BOARD_DIR ${CMAKE_CURRENT_LIST_DIR})
set(ONESTACK_CPU_FLAGS "-mcpu=cortex-m33+nofp -mfloat-abi=soft")
set(ONESTACK_QEMU_MACHINE mps2-an505)
set(ONESTACK_QEMU_CPU cortex-m33)
include(${CMAKE_CURRENT_LIST_DIR}/../cortex-m/toolchain.cmake)
