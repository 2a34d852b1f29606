# onestack_check_stack(target TASKS file...): after the link, bounds the
# program's stack from the call graphs of its objects, the kernel's and the
# board's start-up code, with the task set the files describe (over the
# target's own description: its frames, its start, its C library). On a
# board the build fails, with the worst chain, when the bound exceeds the
# stack region less its guard; the report is written beside the program
# (NAME.stack.txt) for the test that compares it with a painted stack.
#
# Included from the kernel's tree, or from the installed package: what the
# functions need is kept in internal cache variables, since they run in
# their caller's scope, which may be another project's.
#   ONESTACK_TREE            tools/stack and boards/ (the source tree, or
#                            share/onestack where the package is installed)
#   ONESTACK_KERNEL_GRAPHS   the kernel's call graphs (.ci files)
#   ONESTACK_STARTUP_GRAPHS  and the board's start-up code's
#
# On a board the tool is built with the host's C++ compiler, since the
# build's own compiler is the cross one.
set(ONESTACK_ON_BOARD ${ONESTACK_BARE_METAL} CACHE INTERNAL "")

# onestack_host_tool(target output SOURCE...): on a board, builds a host
# tool into `output` with the host's compiler, as `target`: its sources'
# folders and the kernel's header on the include path, and rebuilt when
# a header in those folders changes.
function(onestack_host_tool target output)
  set(includes -I${ONESTACK_TREE}/kernel/include)
  set(headers "")
  foreach(source ${ARGN})
    get_filename_component(dir ${source} DIRECTORY)
    file(GLOB found ${dir}/*.h)
    list(APPEND includes -I${dir})
    list(APPEND headers ${found})
  endforeach()
  list(REMOVE_DUPLICATES includes)
  get_filename_component(name ${output} NAME)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/host
    COMMAND ${ONESTACK_HOST_CXX} -std=c++17 -O2 ${includes} -o ${output} ${ARGN}
    DEPENDS ${ARGN} ${headers}
    COMMENT "Building ${name} for the host")
  add_custom_target(${target} DEPENDS ${output})
endfunction()

if(ONESTACK_BARE_METAL)
  find_program(ONESTACK_HOST_CXX NAMES c++ g++ clang++ REQUIRED)
  set(ONESTACK_STACK_TOOL ${CMAKE_CURRENT_BINARY_DIR}/host/onestack_stack CACHE INTERNAL "")
  onestack_host_tool(onestack_stack_tool ${ONESTACK_STACK_TOOL} ${ONESTACK_TREE}/tools/stack/main.cpp
    ${ONESTACK_TREE}/tools/stack/stack_bound.cpp)
  # The target's frames and start, and the bounds of its C library.
  set(ONESTACK_STACK_TARGET_FILE ${CMAKE_CURRENT_BINARY_DIR}/target.stack CACHE INTERNAL "")
  file(WRITE ${ONESTACK_STACK_TARGET_FILE}
    "target ${ONESTACK_STACK_TARGET}\ninclude ${ONESTACK_TREE}/boards/${ONESTACK_BOARD_FAMILY}/board.stack\n")
else()
  set(ONESTACK_STACK_TOOL $<TARGET_FILE:onestack_stack> CACHE INTERNAL "")
  set(ONESTACK_STACK_TARGET_FILE ${ONESTACK_TREE}/tools/stack/host.stack CACHE INTERNAL "")
endif()

function(onestack_check_stack target)
  if(NOT ONESTACK_STACK_INFO AND NOT ONESTACK_ON_BOARD)
    return() # no call graphs to read; a board's build always writes them
  endif()
  cmake_parse_arguments(PARSE_ARGV 1 check "" "" "TASKS")
  # The graphs of the kernel the program links: the checked one has its own.
  get_target_property(libraries ${target} LINK_LIBRARIES)
  set(tasks --tasks ${ONESTACK_STACK_TARGET_FILE})
  if("onestack_kernel_checked" IN_LIST libraries)
    set(graphs ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${target}.dir ${ONESTACK_KERNEL_CHECKED_GRAPHS})
    list(APPEND tasks --tasks ${ONESTACK_TREE}/kernel/checked.stack)
  else()
    set(graphs ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${target}.dir ${ONESTACK_KERNEL_GRAPHS})
  endif()
  set(limit "-")
  if(ONESTACK_ON_BOARD)
    list(APPEND graphs ${ONESTACK_STARTUP_GRAPHS})
    add_dependencies(${target} onestack_stack_tool)
    set(limit ${CMAKE_NM})
  else()
    add_dependencies(${target} onestack_stack)
  endif()
  if(ONESTACK_TRACE)
    list(APPEND tasks --tasks ${ONESTACK_TREE}/tools/stack/trace.stack)
  endif()
  foreach(file ${check_TASKS})
    list(APPEND tasks --tasks ${CMAKE_CURRENT_SOURCE_DIR}/${file})
  endforeach()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND sh ${ONESTACK_TREE}/tools/stack/check_stack.sh ${ONESTACK_STACK_TOOL} ${limit}
      $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.stack.txt ${tasks} ${graphs}
    VERBATIM)
endfunction()

# onestack_stack_peak_test(target [MINIMUM percent]): on a board, runs the
# program with --stack-peak on the semihosting command line, so that its
# start-up code reports the painted stack's peak, and checks it against the
# bound: never above it, and with MINIMUM, at least that share of it.
function(onestack_stack_peak_test target)
  if(NOT ONESTACK_ON_BOARD)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "MINIMUM" "")
  if(NOT DEFINED arg_MINIMUM)
    set(arg_MINIMUM 0)
  endif()
  string(REPLACE "target=native" "target=native,arg=${target},arg=--stack-peak" qemu "${ONESTACK_QEMU_COUNTED}")
  add_test(NAME stack_within_bound_${target}
    COMMAND ${CMAKE_COMMAND} "-DCOMMAND=${qemu};$<TARGET_FILE:${target}>" -DREPORT=$<TARGET_FILE:${target}>.stack.txt
            -DMINIMUM=${arg_MINIMUM} -P ${ONESTACK_TREE}/tools/stack/check_peak.cmake)
endfunction()

# onestack_task_set_header(target FILE... [CHECKED [TRACED]]): writes task_set.h from
# the task set's description, for the target to include: the tick's period
# in microseconds, each task's priority and period in ticks, each
# resource's ceiling, computed from its users, and its key. The program
# takes its numbers from its description, as the stack bound and the timing
# do. CHECKED links the checked kernel, with the description's table: the
# program stops at an activation or a hold that the description lacks;
# TRACED, on a board, the checked kernel with the recorder.
if(EXISTS ${ONESTACK_TREE}/tools/timing/main.cpp)
  if(ONESTACK_BARE_METAL)
    set(ONESTACK_TIMING_TOOL ${CMAKE_CURRENT_BINARY_DIR}/host/onestack_timing CACHE INTERNAL "")
    onestack_host_tool(onestack_timing_tool ${ONESTACK_TIMING_TOOL} ${ONESTACK_TREE}/tools/timing/main.cpp
      ${ONESTACK_TREE}/tools/timing/response_time.cpp ${ONESTACK_TREE}/tools/stack/stack_bound.cpp)
    # And the trace tool, which reads what the board's traced runs record.
    set(ONESTACK_TRACE_TOOL ${CMAKE_CURRENT_BINARY_DIR}/host/onestack_trace CACHE INTERNAL "")
    onestack_host_tool(onestack_trace_tool ${ONESTACK_TRACE_TOOL} ${ONESTACK_TREE}/tools/trace/main.cpp
      ${ONESTACK_TREE}/tools/trace/trace_file.cpp ${ONESTACK_TREE}/tools/trace/schedule.cpp)
  else()
    set(ONESTACK_TIMING_TOOL $<TARGET_FILE:onestack_timing> CACHE INTERNAL "")
  endif()
endif()

# onestack_response_test(target TRACE file TASKS file... [AT_LEAST percent]):
# on a board, runs the traced program under QEMU's instruction-counted time,
# which writes its trace, stamped by the board's clock, to `file`; reads
# from the trace the longest execution, response and hold of each task and
# the kernel's longest switch, and analyses the task set with them: every
# response the run showed must be within its analysed bound, and with
# AT_LEAST, at least that share of it.
function(onestack_response_test target)
  if(NOT ONESTACK_ON_BOARD)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TRACE;AT_LEAST" "TASKS")
  if(NOT DEFINED arg_AT_LEAST)
    set(arg_AT_LEAST 0)
  endif()
  set(tasks "")
  foreach(file ${arg_TASKS})
    list(APPEND tasks ${CMAKE_CURRENT_SOURCE_DIR}/${file})
  endforeach()
  add_dependencies(${target} onestack_trace_tool onestack_timing_tool)
  # The trace's ring takes RAM from the heap's least, 4 KiB, which the
  # C library's buffers for the trace file and the output need only 3 of:
  # so the program fits the smallest board's 16 KiB.
  target_link_options(${target} PRIVATE -Wl,--defsym=_heap_size_min=3K)
  add_test(NAME response_within_analysis_${target}
    COMMAND ${CMAKE_COMMAND} "-DCOMMAND=${ONESTACK_QEMU_COUNTED};$<TARGET_FILE:${target}>"
            -DDIR=${CMAKE_CURRENT_BINARY_DIR}/${target}_run -DTRACE=${arg_TRACE} "-DTASKS=${tasks}"
            -DTRACE_TOOL=${ONESTACK_TRACE_TOOL} -DTIMING_TOOL=${ONESTACK_TIMING_TOOL} -DAT_LEAST=${arg_AT_LEAST}
            -P ${ONESTACK_TREE}/tools/timing/check_response.cmake)
endfunction()

function(onestack_task_set_header target)
  cmake_parse_arguments(PARSE_ARGV 1 set "CHECKED;TRACED" "" "")
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_task_set)
  set(tasks "")
  set(files "")
  foreach(file ${set_UNPARSED_ARGUMENTS})
    list(APPEND tasks --tasks ${CMAKE_CURRENT_SOURCE_DIR}/${file})
    list(APPEND files ${CMAKE_CURRENT_SOURCE_DIR}/${file})
  endforeach()
  set(outputs ${dir}/task_set.h)
  set(checks "")
  if(set_CHECKED) # the table for the checked kernel, which it links
    list(APPEND outputs ${dir}/task_set.c)
    set(checks --checks ${dir}/task_set.c)
    if(set_TRACED)
      target_link_libraries(${target} PRIVATE onestack_kernel_checked_traced)
    else()
      target_link_libraries(${target} PRIVATE onestack_kernel_checked)
    endif()
  endif()
  add_custom_command(OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${ONESTACK_TIMING_TOOL} --header ${dir}/task_set.h ${checks} ${tasks}
    DEPENDS ${files}
    COMMENT "Writing ${target}'s constants from its task set")
  target_sources(${target} PRIVATE ${outputs})
  target_include_directories(${target} PRIVATE ${dir})
  if(ONESTACK_ON_BOARD)
    add_dependencies(${target} onestack_timing_tool)
  else()
    add_dependencies(${target} onestack_timing)
  endif()
endfunction()
