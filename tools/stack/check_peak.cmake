# Runs a board program that reports its painted stack's peak and fails
# unless the peak is within the stack tool's bound for it, and at least
# MINIMUM percent of it (0 if not given); prints both and their ratio.
#   cmake -DCOMMAND="qemu...;program" -DREPORT=program.stack.txt [-DMINIMUM=95] -P check_peak.cmake
execute_process(COMMAND ${COMMAND} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "exit status ${status}\n${out}${err}")
endif()
# The last report counts: a second one measures the first's own writing.
string(REGEX MATCHALL "stack peak: [0-9]+ bytes" reports "${out}")
if(NOT reports)
  message(FATAL_ERROR "the program reported no stack peak:\n${out}")
endif()
list(GET reports -1 last)
string(REGEX REPLACE "[^0-9]" "" peak "${last}")
file(READ "${REPORT}" report)
if(NOT report MATCHES "stack bound: ([0-9]+) bytes")
  message(FATAL_ERROR "${REPORT} holds no bound")
endif()
set(bound ${CMAKE_MATCH_1})
math(EXPR percent "100 * ${peak} / ${bound}")
message("painted peak ${peak} bytes, bound ${bound} bytes: ${percent}% of it")
if(peak GREATER bound)
  message(FATAL_ERROR "the painted peak exceeds the bound")
endif()
if(DEFINED MINIMUM AND percent LESS MINIMUM)
  message(FATAL_ERROR "the painted peak is below ${MINIMUM}% of the bound: the bound counts what the run never stacks\n${out}")
endif()
