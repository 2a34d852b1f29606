# What every board family measures in the kernel's own build, included by
# the family's CMakeLists.txt after the board's package: the instruction counter
# (run under QEMU with -icount) and the interrupt path, run once with every
# instruction logged (latency.sh); and the QEMU command line, for the scripts
# that run the board's programs outside CTest (footprint.sh, latency.sh).
# ONESTACK_QEMU_SERIAL names where the first UART's output goes (file:PATH,
# say), nowhere by default.
add_executable(count_instructions ${CMAKE_CURRENT_LIST_DIR}/count_instructions.c)
target_link_libraries(count_instructions PRIVATE onestack::kernel)
onestack_program(count_instructions)

# A firmware that uses only the kernel, whose image footprint.sh holds to
# 5 KiB.
add_executable(floor ${CMAKE_CURRENT_LIST_DIR}/floor.c)
target_link_libraries(floor PRIVATE onestack::kernel)
onestack_program(floor)

add_executable(latency ${CMAKE_CURRENT_LIST_DIR}/latency.c)
target_link_libraries(latency PRIVATE onestack::kernel)
onestack_program(latency)

string(REPLACE ";" " " qemu_line "${ONESTACK_QEMU}")
string(REPLACE "-serial none" "-serial \"\${ONESTACK_QEMU_SERIAL:-none}\"" qemu_line "${qemu_line}")
file(WRITE ${PROJECT_BINARY_DIR}/qemu.sh "#!/bin/sh\nexec ${qemu_line} \"$@\"\n")
file(CHMOD ${PROJECT_BINARY_DIR}/qemu.sh PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The stack the C library's functions take, measured (board.stack).
add_executable(libc_stack ${CMAKE_CURRENT_LIST_DIR}/libc_stack.c)
onestack_program(libc_stack)
