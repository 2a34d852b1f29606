# Bare-metal RV32 in machine mode with GCC's riscv64-unknown-elf toolchain
# and picolibc, under QEMU's virt machine. Included by each board's
# toolchain file, which first sets:
#   ONESTACK_BOARD_DIR       the board's folder (board.h, memory.ld)
#   ONESTACK_CPU_ARCH        the -march of everything built, rv32imac say
#   ONESTACK_CPU_ABI         its -mabi
#   ONESTACK_QEMU_CPU        the hart QEMU emulates
# Standard output and the exit status reach the host by semihosting.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR riscv32)
set(CMAKE_C_COMPILER riscv64-unknown-elf-gcc)
set(CMAKE_CXX_COMPILER riscv64-unknown-elf-g++)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(ONESTACK_BOARD_FAMILY riscv)
# The frames an interrupt stacks, for the stack tool.
if(ONESTACK_CPU_ARCH MATCHES "^rv32[a-z]*f")
  set(ONESTACK_STACK_TARGET riscv-f)
else()
  set(ONESTACK_STACK_TARGET riscv)
endif()

# The compiler is told of the CSR instructions (Zicsr), which the port and
# the start-up code use; the link names the plain architecture, since the C
# library's multilibs go by it, and the last -march chooses.
set(CMAKE_C_FLAGS_INIT
    "-march=${ONESTACK_CPU_ARCH}_zicsr -mabi=${ONESTACK_CPU_ABI} --specs=picolibc.specs -ffunction-sections -fdata-sections")
# No C++ standard library on the target: C++ code may include C headers only.
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT} -nostdinc++ -fno-exceptions -fno-rtti")
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-march=${ONESTACK_CPU_ARCH} -mabi=${ONESTACK_CPU_ABI} --oslib=semihost -nostartfiles -Wl,--gc-sections")

# Programs run under QEMU; semihosting carries their output and exit status.
# The C library writes both standard streams to the semihosting console,
# which QEMU sends to its standard error unless given a character device:
# here its standard output.
set(ONESTACK_QEMU qemu-system-riscv32 -machine virt -cpu ${ONESTACK_QEMU_CPU} -bios none -display none
    -monitor none -serial none -chardev stdio,id=semihosting,signal=off
    -semihosting-config enable=on,target=native,chardev=semihosting)
# Under instruction-counted time mtime counts once every 100 instructions.
include(${CMAKE_CURRENT_LIST_DIR}/../toolchain_common.cmake)
