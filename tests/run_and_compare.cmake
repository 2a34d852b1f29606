# Runs a program and checks its exact standard output against a file, that
# it wrote nothing to standard error and that it exited with status 0.
# NOISE names a line that the runner itself (an emulator) may write to
# standard error; it is dropped before the check.
#   cmake -DCOMMAND="prog;arg..." -DEXPECTED=file [-DNOISE=line] -P run_and_compare.cmake
execute_process(
  COMMAND ${COMMAND}
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err
  RESULT_VARIABLE status)
file(READ "${EXPECTED}" expected)
if(DEFINED NOISE AND NOT NOISE STREQUAL "")
  string(REPLACE "${NOISE}\n" "" err "${err}")
endif()
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "exit status ${status}, expected 0\nstderr:\n${err}")
endif()
if(NOT err STREQUAL "")
  message(FATAL_ERROR "unexpected standard error:\n${err}")
endif()
if(NOT out STREQUAL expected)
  message(FATAL_ERROR "standard output differs.\n--- expected\n${expected}--- actual\n${out}---")
endif()
