# onestack_check_stack(target TASKS file...): after the link, bounds the
# program's stack from the call graphs of its objects, the kernel's and the
# board's start-up code, with the task set the files describe (over the
# target's own description: its frames, its start, its C library). On a
# board the build fails, with the worst chain, when the bound exceeds the
# stack region less its guard; the report is written beside the program
# (NAME.stack.txt) for the test that compares it with a painted stack.
#
# On a board the tool is built with the host's C++ compiler, since the
# build's own compiler is the cross one.
if(ONESTACK_BARE_METAL)
  find_program(ONESTACK_HOST_CXX NAMES c++ g++ clang++ REQUIRED)
  set(ONESTACK_STACK_TOOL ${PROJECT_BINARY_DIR}/host/onestack_stack)
  set(stack_sources ${PROJECT_SOURCE_DIR}/tools/stack/main.cpp ${PROJECT_SOURCE_DIR}/tools/stack/stack_bound.cpp)
  add_custom_command(OUTPUT ${ONESTACK_STACK_TOOL}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/host
    COMMAND ${ONESTACK_HOST_CXX} -std=c++17 -O2 -o ${ONESTACK_STACK_TOOL} ${stack_sources}
    DEPENDS ${stack_sources} ${PROJECT_SOURCE_DIR}/tools/stack/stack_bound.h
    COMMENT "Building the stack tool for the host")
  add_custom_target(onestack_stack_tool DEPENDS ${ONESTACK_STACK_TOOL})
  # The target's frames and start, and the bounds of its C library.
  set(ONESTACK_STACK_TARGET_FILE ${PROJECT_BINARY_DIR}/target.stack)
  file(WRITE ${ONESTACK_STACK_TARGET_FILE}
    "target ${ONESTACK_STACK_TARGET}\ninclude ${PROJECT_SOURCE_DIR}/boards/${ONESTACK_BOARD_FAMILY}/board.stack\n")
else()
  set(ONESTACK_STACK_TOOL $<TARGET_FILE:onestack_stack>)
  set(ONESTACK_STACK_TARGET_FILE ${PROJECT_SOURCE_DIR}/tools/stack/host.stack)
endif()

function(onestack_check_stack target)
  if(NOT ONESTACK_STACK_INFO)
    return() # no call graphs to read
  endif()
  cmake_parse_arguments(PARSE_ARGV 1 check "" "" "TASKS")
  set(graphs ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${target}.dir ${PROJECT_BINARY_DIR}/kernel/CMakeFiles/onestack_kernel.dir)
  set(limit "-")
  if(ONESTACK_BARE_METAL)
    list(APPEND graphs ${PROJECT_BINARY_DIR}/boards/${ONESTACK_BOARD_FAMILY}/CMakeFiles/onestack_board_startup.dir)
    add_dependencies(${target} onestack_stack_tool)
    set(limit ${CMAKE_NM})
  else()
    add_dependencies(${target} onestack_stack)
  endif()
  set(tasks --tasks ${ONESTACK_STACK_TARGET_FILE})
  if(ONESTACK_TRACE)
    list(APPEND tasks --tasks ${PROJECT_SOURCE_DIR}/tools/stack/trace.stack)
  endif()
  foreach(file ${check_TASKS})
    list(APPEND tasks --tasks ${CMAKE_CURRENT_SOURCE_DIR}/${file})
  endforeach()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND sh ${PROJECT_SOURCE_DIR}/tools/stack/check_stack.sh ${ONESTACK_STACK_TOOL} ${limit}
      $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.stack.txt ${tasks} ${graphs}
    VERBATIM)
endfunction()

# onestack_stack_peak_test(target): on a board, runs the program with
# --stack-peak on the semihosting command line, so that its start-up code
# reports the painted stack's peak, and checks it against the bound.
function(onestack_stack_peak_test target)
  if(NOT ONESTACK_BARE_METAL)
    return()
  endif()
  string(REPLACE "target=native" "target=native,arg=${target},arg=--stack-peak" qemu "${ONESTACK_QEMU_COUNTED}")
  add_test(NAME stack_within_bound_${target}
    COMMAND ${CMAKE_COMMAND} "-DCOMMAND=${qemu};$<TARGET_FILE:${target}>" -DREPORT=$<TARGET_FILE:${target}>.stack.txt
            -P ${PROJECT_SOURCE_DIR}/tools/stack/check_peak.cmake)
endfunction()
