# onestack_firmware(target SOURCES file... [TASKS file...] [EXPECTED file]):
# a firmware for the board that the build's toolchain file names, from a
# project's own sources, linked with the kernel and the board's start-up
# code and layout. With TASKS, the link checks the stack's bound against
# the stack region, from the task-set descriptions given (see the README,
# Sizing the stack); run_TARGET runs it under QEMU, on instruction-counted
# time, and debug_TARGET the same halted at reset, for gdb on port 1234; a
# CTest test of the same name runs it, checking its output against EXPECTED
# when given, else its exit status alone.
function(onestack_firmware target)
  cmake_parse_arguments(PARSE_ARGV 1 firmware "" "EXPECTED" "SOURCES;TASKS")
  add_executable(${target} ${firmware_SOURCES})
  target_link_libraries(${target} PRIVATE onestack::kernel onestack::board)
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C SUFFIX .elf)
  if(firmware_TASKS)
    target_compile_options(${target} PRIVATE -fcallgraph-info=su)
    onestack_check_stack(${target} TASKS ${firmware_TASKS})
  endif()
  add_custom_target(run_${target} COMMAND ${ONESTACK_QEMU_COUNTED} $<TARGET_FILE:${target}>
    DEPENDS ${target} USES_TERMINAL)
  add_custom_target(debug_${target} COMMAND ${ONESTACK_QEMU} -s -S -kernel $<TARGET_FILE:${target}>
    DEPENDS ${target} USES_TERMINAL)
  if(firmware_EXPECTED)
    add_test(NAME ${target} COMMAND ${CMAKE_COMMAND} "-DCOMMAND=${ONESTACK_QEMU_COUNTED};$<TARGET_FILE:${target}>"
      -DEXPECTED=${CMAKE_CURRENT_SOURCE_DIR}/${firmware_EXPECTED} "-DNOISE=${ONESTACK_QEMU_NOISE}"
      -P ${ONESTACK_RUN_AND_COMPARE})
  else()
    add_test(NAME ${target} COMMAND ${ONESTACK_QEMU_COUNTED} $<TARGET_FILE:${target}>)
  endif()
endfunction()
