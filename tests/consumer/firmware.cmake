# Builds the firmware project in firmware/ outside the tree, for the board
# whose toolchain file BOARD names, with the kernel got one way (MODE
# install, from the board build BUILD_DIR; subdirectory; fetchcontent, from
# an archive of the source tree), then runs its test under QEMU.
#   cmake -DMODE=... -DSOURCE_DIR=... -DBUILD_DIR=... -DWORK_DIR=... -DBOARD=... -DVERSION=... -P firmware.cmake
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

include(${CMAKE_CURRENT_LIST_DIR}/run.cmake)

set(options -DMODE=${MODE})
if(MODE STREQUAL "install")
  run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
  list(APPEND options -DCMAKE_TOOLCHAIN_FILE=${WORK_DIR}/prefix/share/onestack/boards/${BOARD}/toolchain.cmake
    -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix -DONESTACK_VERSION=${VERSION} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
elseif(MODE STREQUAL "subdirectory")
  list(APPEND options -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/boards/${BOARD}/toolchain.cmake
    -DONESTACK_SOURCE=${SOURCE_DIR})
else()
  # The tree's files as git knows them, without the build folders.
  execute_process(COMMAND git -C ${SOURCE_DIR} ls-files --cached --others --exclude-standard
    OUTPUT_FILE ${WORK_DIR}/files RESULT_VARIABLE status)
  if(NOT status STREQUAL "0")
    message(FATAL_ERROR "git ls-files failed in ${SOURCE_DIR}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar czf ${WORK_DIR}/onestack.tar.gz --files-from=${WORK_DIR}/files
    WORKING_DIRECTORY ${SOURCE_DIR} RESULT_VARIABLE status)
  if(NOT status STREQUAL "0")
    message(FATAL_ERROR "archiving the tree failed")
  endif()
  list(APPEND options -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/boards/${BOARD}/toolchain.cmake
    -DONESTACK_URL=file://${WORK_DIR}/onestack.tar.gz)
endif()
run("configuring" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer/firmware -B ${WORK_DIR}/build ${options})
run("building" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
if(NOT EXISTS ${WORK_DIR}/build/app.elf.stack.txt)
  message(FATAL_ERROR "the link checked no stack bound")
endif()
run("running" ${CMAKE_CTEST_COMMAND} --test-dir ${WORK_DIR}/build --output-on-failure)
if(NOT output MATCHES "100% tests passed, 0 tests failed out of 1\n")
  message(FATAL_ERROR "the firmware's test did not run:\n${output}")
endif()
