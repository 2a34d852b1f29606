# Builds the consumer project against the kernel, either installed from
# BUILD_DIR (MODE install) or added from SOURCE_DIR (MODE subdirectory),
# and runs both of its programs.
#   cmake -DMODE=... -DSOURCE_DIR=... -DBUILD_DIR=... -DWORK_DIR=... -P check.cmake
set(consumer ${SOURCE_DIR}/tests/consumer)
file(REMOVE_RECURSE ${WORK_DIR})
if(MODE STREQUAL "install")
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix
                  RESULT_VARIABLE status OUTPUT_QUIET)
  if(NOT status STREQUAL "0")
    message(FATAL_ERROR "install failed")
  endif()
  set(locate -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix)
else()
  set(locate -DONESTACK_SOURCE_DIR=${SOURCE_DIR})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${consumer} -B ${WORK_DIR}/build ${locate}
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "configuring the consumer failed:\n${log}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "building the consumer failed:\n${log}")
endif()
foreach(app app_c app_cpp)
  execute_process(COMMAND ${CMAKE_COMMAND} -DCOMMAND=${WORK_DIR}/build/${app} -DEXPECTED=${consumer}/app.expected
                          -P ${SOURCE_DIR}/tests/run_and_compare.cmake
                  RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
  if(NOT status STREQUAL "0")
    message(FATAL_ERROR "${app}: ${log}")
  endif()
endforeach()
