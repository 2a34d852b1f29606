# The LM3S6965 (Cortex-M3) as QEMU's lm3s6965evb models it.
set(ONESTACK_BOARD_DIR ${CMAKE_CURRENT_LIST_DIR})
set(ONESTACK_CPU_FLAGS "-mcpu=cortex-m3")
set(ONESTACK_QEMU_MACHINE lm3s6965evb)
set(ONESTACK_QEMU_CPU cortex-m3)
include(${CMAKE_CURRENT_LIST_DIR}/../cortex-m/toolchain.cmake)
# Its UART receives, with an interrupt: the serial console example runs.
set(ONESTACK_BOARD_UART_RX ON)
