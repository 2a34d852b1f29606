# Runs a traced board program in DIR, where it writes TRACE through
# semihosting; reads the trace's times and analyses the task set TASKS with
# them: fails if a response observed is above its bound or, with AT_LEAST,
# below that percentage of it. Prints the analysis' table.
#   cmake -DCOMMAND="qemu...;program" -DDIR=dir -DTRACE=name.trace -DTASKS="a.stack;..."
#         -DTRACE_TOOL=onestack_trace -DTIMING_TOOL=onestack_timing [-DAT_LEAST=90] -P check_response.cmake
file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR})
execute_process(COMMAND ${COMMAND} WORKING_DIRECTORY ${DIR} OUTPUT_VARIABLE out ERROR_VARIABLE err
  RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "the run's exit status ${status}\n${out}${err}")
endif()
execute_process(COMMAND ${TRACE_TOOL} ${DIR}/${TRACE} --times ${DIR}/times.txt RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "${TRACE}: the trace tool cannot read it")
endif()
file(READ ${DIR}/times.txt times)
set(tasks "")
foreach(file ${TASKS})
  list(APPEND tasks --tasks ${file})
endforeach()
execute_process(COMMAND ${TIMING_TOOL} --at-least ${AT_LEAST} ${tasks} --tasks ${DIR}/times.txt
  OUTPUT_VARIABLE table ERROR_VARIABLE err RESULT_VARIABLE status)
message("${times}${table}${err}")
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "the analysis fails the run (status ${status})")
endif()
