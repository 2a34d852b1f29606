# Builds the consumer project against the kernel and runs its programs, with
# the compilers and flags the kernel was configured with:
#   install       the static library installed from BUILD_DIR, found by CMake
#   shared        a shared library built and installed afresh, which exports
#                 the chief header's operations and nothing else
#   pkgconfig     the installed static library, a C program compiled with
#                 the flags pkg-config gives
#   subdirectory  the source tree added with add_subdirectory, which then
#                 installs nothing of the kernel
# The package found is the one just installed, never another copy.
#   cmake -DMODE=... -DSOURCE_DIR=... -DBUILD_DIR=... -DWORK_DIR=... -DVERSION=... -DLIBDIR=...
#         -DC_COMPILER=... -DCXX_COMPILER=... -DBUILD_TYPE=... -DC_FLAGS=... -DCXX_FLAGS=...
#         -DLINKER_FLAGS=... -DIPO=... -P check.cmake
set(consumer ${SOURCE_DIR}/tests/consumer)
set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})

include(${CMAKE_CURRENT_LIST_DIR}/run.cmake)

set(toolchain -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE} "-DCMAKE_C_FLAGS=${C_FLAGS}" "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}" "-DCMAKE_SHARED_LINKER_FLAGS=${LINKER_FLAGS}"
    -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=${IPO} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)

function(expect_output program)
  run("${program}" ${CMAKE_COMMAND} -DCOMMAND=${program} -DEXPECTED=${consumer}/app.expected
      -P ${SOURCE_DIR}/tests/run_and_compare.cmake)
endfunction()

if(MODE STREQUAL "install" OR MODE STREQUAL "pkgconfig")
  run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
elseif(MODE STREQUAL "shared")
  run("configuring the shared library" ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/library
      ${toolchain} -DBUILD_SHARED_LIBS=ON -DONESTACK_BUILD_ALL=OFF)
  run("building the shared library" ${CMAKE_COMMAND} --build ${WORK_DIR}/library)
  run("installing the shared library" ${CMAKE_COMMAND} --install ${WORK_DIR}/library --prefix ${prefix})
  file(GLOB library ${prefix}/${LIBDIR}/libonestack.so.${VERSION})
  if(NOT library)
    message(FATAL_ERROR "no ${prefix}/${LIBDIR}/libonestack.so.${VERSION}")
  endif()
  run("nm" nm -D --defined-only --format=posix ${library})
  string(REPLACE "\n" ";" lines "${output}")
  set(exported)
  foreach(line IN LISTS lines)
    if(line MATCHES "^([A-Za-z_][A-Za-z0-9_]*) [TDBR] ")
      list(APPEND exported ${CMAKE_MATCH_1})
    endif()
  endforeach()
  list(SORT exported)
  set(api AcquireInterruptCeiling AcquireResource ActivateTask ActivateTaskWith AdvanceTime ChannelDrops ReceiveChannel
    RefusedActivations ReleaseInterruptCeiling ReleaseResource SendChannel SetStopHandler ShutdownOS SimulateInterrupt
    SimulateInterruptAt StartOS StartTimer StartTimerWith StopTimer
    TaskBasePriority TaskPriority TaskWord TerminateTask TickCount TicksUntilNextTimer TimerMisses TryActivateTask)
  if(NOT exported STREQUAL api)
    message(FATAL_ERROR "the shared library exports: ${exported}\nexpected: ${api}\n${output}")
  endif()
endif()

if(MODE STREQUAL "pkgconfig")
  find_program(pkg_config pkg-config REQUIRED)
  # Only the installed tree is searched.
  run("pkg-config" ${CMAKE_COMMAND} -E env PKG_CONFIG_LIBDIR=${prefix}/${LIBDIR}/pkgconfig
      ${pkg_config} --cflags --libs onestack)
  separate_arguments(flags UNIX_COMMAND "${output}")
  separate_arguments(c_flags UNIX_COMMAND "${C_FLAGS} ${LINKER_FLAGS}")
  if(IPO)
    list(APPEND c_flags -flto)
  endif()
  file(MAKE_DIRECTORY ${WORK_DIR}/build)
  run("compiling with pkg-config's flags" ${C_COMPILER} ${c_flags} ${consumer}/app.c ${flags}
      -o ${WORK_DIR}/build/app_c)
  expect_output(${WORK_DIR}/build/app_c)
  return()
endif()

if(MODE STREQUAL "subdirectory")
  set(locate -DONESTACK_SOURCE_DIR=${SOURCE_DIR})
else()
  set(locate -Donestack_DIR=${prefix}/${LIBDIR}/cmake/onestack -DONESTACK_VERSION=${VERSION})
endif()
run("configuring the consumer" ${CMAKE_COMMAND} -S ${consumer} -B ${WORK_DIR}/build ${toolchain} ${locate})
run("building the consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
foreach(app app_c app_cpp)
  expect_output(${WORK_DIR}/build/${app})
endforeach()

if(MODE STREQUAL "subdirectory")
  run("installing the consumer" ${CMAKE_COMMAND} --install ${WORK_DIR}/build --prefix ${prefix})
  file(GLOB_RECURSE installed LIST_DIRECTORIES false ${prefix}/*)
  if(installed)
    message(FATAL_ERROR "added as a subdirectory, the kernel installed: ${installed}")
  endif()
endif()
