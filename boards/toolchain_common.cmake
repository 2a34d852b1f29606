# What every board family's toolchain file ends with, once it has set
# ONESTACK_QEMU, the QEMU command line that runs a program.
set(CMAKE_CROSSCOMPILING_EMULATOR ${ONESTACK_QEMU} -kernel)
# Programs that take interrupts run on instruction-counted time, one
# nanosecond per instruction, so that every run is the same; a wait for an
# interrupt skips ahead to the next timer event.
set(ONESTACK_QEMU_COUNTED ${ONESTACK_QEMU} -icount shift=0,sleep=off -kernel)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages built for the board may lie anywhere, as the kernel installed.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
