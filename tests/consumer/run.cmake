# run(what command...): runs a command, stopping the script with its output
# if it fails; its output is left in `output`. For the consumer scripts.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
  if(NOT status STREQUAL "0")
    message(FATAL_ERROR "${what} failed:\n${log}")
  endif()
  set(output "${log}" PARENT_SCOPE)
endfunction()
