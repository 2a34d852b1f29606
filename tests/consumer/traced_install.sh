#!/bin/sh
# A library-only configure with the recorder builds and installs the trace
# tool, and the installed package tells its callers the definition: in the
# pkg-config flags and on the CMake target.
#
#   traced_install.sh SOURCE_DIR WORK_DIR
set -eu
source=$1 work=$2
rm -rf "$work"
cmake -S "$source" -B "$work/build" -DONESTACK_BUILD_ALL=OFF -DONESTACK_INSTALL=ON -DONESTACK_TRACE=ON \
    -DCMAKE_INSTALL_PREFIX="$work/prefix" >/dev/null
cmake --build "$work/build" -j >/dev/null
cmake --install "$work/build" >/dev/null
"$work/prefix/bin/onestack_trace" --version
flags=$(PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name onestack.pc)") pkg-config --cflags onestack)
case "$flags" in *-DONESTACK_TRACE*) ;; *) echo "pkg-config --cflags onestack: '$flags' lacks -DONESTACK_TRACE"; exit 1 ;; esac
grep -q 'INTERFACE_COMPILE_DEFINITIONS "ONESTACK_TRACE"' "$(find "$work/prefix" -name onestackTargets.cmake)" ||
    { echo "the installed CMake target lacks ONESTACK_TRACE"; exit 1; }
echo "traced_install: passed"
