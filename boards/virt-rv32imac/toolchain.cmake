# QEMU's RISC-V virt machine with an RV32IMAC hart.
set(ONESTACK_BOARD_DIR ${CMAKE_CURRENT_LIST_DIR})
set(ONESTACK_CPU_ARCH rv32imac)
set(ONESTACK_CPU_ABI ilp32)
set(ONESTACK_QEMU_CPU rv32)
include(${CMAKE_CURRENT_LIST_DIR}/../riscv/toolchain.cmake)
# Its UART receives, with an interrupt: the serial console example runs.
set(ONESTACK_BOARD_UART_RX ON)
