# Bare-metal Cortex-M with GCC's arm-none-eabi toolchain and newlib, under
# QEMU. Included by each board's toolchain file, which first sets:
#   ONESTACK_BOARD_DIR       the board's folder (board.h, memory.ld)
#   ONESTACK_CPU_FLAGS       the core and float ABI, for everything linked
#   ONESTACK_QEMU_MACHINE    and ONESTACK_QEMU_CPU: the machine QEMU emulates
# and, where it applies:
#   ONESTACK_BOARD_FPU       everything is built for the core's FPU
#   ONESTACK_BOARD_UNGUARDED the core has neither an MPU nor a stack limit
# Standard output and the exit status reach the host by semihosting.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(ONESTACK_BOARD_FAMILY cortex-m)
# The frames an interrupt stacks, for the stack tool.
if(ONESTACK_BOARD_FPU)
  set(ONESTACK_STACK_TARGET cortex-m-fp)
else()
  set(ONESTACK_STACK_TARGET cortex-m)
endif()

set(CMAKE_C_FLAGS_INIT "${ONESTACK_CPU_FLAGS} -mthumb -ffunction-sections -fdata-sections")
# No C++ standard library on the target: C++ code may include C headers only.
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT} -nostdinc++ -fno-exceptions -fno-rtti")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${ONESTACK_CPU_FLAGS} -mthumb --specs=rdimon.specs -nostartfiles -Wl,--gc-sections")

# Programs run under QEMU; semihosting carries their output and exit status.
set(ONESTACK_QEMU qemu-system-arm -machine ${ONESTACK_QEMU_MACHINE} -cpu ${ONESTACK_QEMU_CPU} -display none
    -monitor none -serial none -semihosting-config enable=on,target=native)
# QEMU's Cortex-M machines report this of their own timers at exit.
set(ONESTACK_QEMU_NOISE "Timer with period zero, disabling")
include(${CMAKE_CURRENT_LIST_DIR}/../toolchain_common.cmake)
