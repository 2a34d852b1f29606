# The board as a package, included by the family's CMakeLists.txt in every
# build for a board, the kernel's own or another project's: the start-up
# code and memory layout that every firmware for the board links
# (onestack::board: the family's startup.c, the board's board.h and
# memory.ld, which includes the family's sections.ld), and its install.
set(family_dir ${CMAKE_CURRENT_LIST_DIR}/${ONESTACK_BOARD_FAMILY})
add_library(onestack_board_startup OBJECT ${family_dir}/startup.c)
add_library(onestack::board ALIAS onestack_board_startup)
set_target_properties(onestack_board_startup PROPERTIES EXPORT_NAME board)
target_include_directories(onestack_board_startup
  PUBLIC $<BUILD_INTERFACE:${ONESTACK_BOARD_DIR}> $<BUILD_INTERFACE:${family_dir}>
  PRIVATE ${CMAKE_CURRENT_LIST_DIR})
# Installed, the package's configuration gives the same from where it lies.
target_link_options(onestack_board_startup INTERFACE
  $<BUILD_INTERFACE:-T${ONESTACK_BOARD_DIR}/memory.ld> $<BUILD_INTERFACE:-L${family_dir}>)
onestack_warnings(onestack_board_startup)
# Its loops that copy and clear memory stay loops: calls to the C library's
# memcpy and memset would cost a firmware that uses neither 400 bytes.
target_compile_options(onestack_board_startup PRIVATE -fno-tree-loop-distribute-patterns)
if(NOT ONESTACK_TOP_LEVEL AND NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  target_compile_options(onestack_board_startup PRIVATE -Os) # as the kernel
endif()

set(ONESTACK_STARTUP_GRAPHS ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/onestack_board_startup.dir CACHE INTERNAL "")

if(ONESTACK_INSTALL)
  include(GNUInstallDirs)
  set(share ${CMAKE_INSTALL_DATADIR}/onestack)
  install(TARGETS onestack_board_startup EXPORT onestack_targets
    OBJECTS DESTINATION ${CMAKE_INSTALL_LIBDIR}/onestack)
  # The board's folder and its family's (headers, layout, toolchain files,
  # stack descriptions), for the toolchain file that a firmware's build names.
  foreach(dir ${ONESTACK_BOARD_DIR} ${family_dir})
    install(DIRECTORY ${dir} DESTINATION ${share}/boards
      FILES_MATCHING PATTERN "*.h" PATTERN "*.ld" PATTERN "*.cmake" PATTERN "*.stack")
  endforeach()
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/board_wait.h ${CMAKE_CURRENT_LIST_DIR}/board_time.h
    ${CMAKE_CURRENT_LIST_DIR}/toolchain_common.cmake
    DESTINATION ${share}/boards)
  # The stack tool's sources, built for the host by the firmware's build,
  # and the call graphs of the kernel and the start-up code it reads.
  install(FILES ${ONESTACK_TREE}/tools/stack/main.cpp ${ONESTACK_TREE}/tools/stack/stack_bound.cpp
    ${ONESTACK_TREE}/tools/stack/stack_bound.h ${ONESTACK_TREE}/tools/stack/check_stack.sh
    ${ONESTACK_TREE}/tools/stack/check_peak.cmake ${ONESTACK_TREE}/tools/stack/trace.stack
    DESTINATION ${share}/tools/stack)
  install(DIRECTORY ${ONESTACK_KERNEL_GRAPHS}/ DESTINATION ${share}/callgraphs/kernel
    FILES_MATCHING PATTERN "*.ci")
  install(DIRECTORY ${ONESTACK_STARTUP_GRAPHS}/ DESTINATION ${share}/callgraphs/startup
    FILES_MATCHING PATTERN "*.ci")
  install(FILES ${ONESTACK_TREE}/tools/stack/check_stack.cmake ${ONESTACK_TREE}/boards/firmware.cmake
    ${ONESTACK_TREE}/tests/run_and_compare.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/onestack)
endif()
