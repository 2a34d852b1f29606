#!/usr/bin/env bash
# Off means gone: the kernel built without ONESTACK_TRACE has the same
# machine code as the kernel with every trace hook line and every checked
# build's hook line deleted from its sources, for the host and, where its
# toolchain is installed, the Cortex-M3, at -Os. Only the kernel is built:
# the checked and the traced kernels, which have their hooks on, are left
# out of the comparison.
#
#   tools/trace/hooks_off_check.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/stripped/tools"
# What a library-only build needs: on a board, the board's start-up code
# and the stack check's functions too.
cp -r CMakeLists.txt kernel boards "$tmp/stripped/"
cp -r tools/stack "$tmp/stripped/tools/"
grep -rlE 'ONESTACK_(TRACE|CHECK)_' "$tmp/stripped/kernel" --include='*.cpp' |
    xargs sed -i -E '/ONESTACK_(TRACE|CHECK)_/d'
targets=(host)
command -v arm-none-eabi-gcc >/dev/null && targets+=(cortex-m3)
for target in "${targets[@]}"; do
    toolchain=()
    [ "$target" = cortex-m3 ] && toolchain=(--toolchain "$PWD/boards/lm3s6965evb/toolchain.cmake")
    for tree in "$PWD" "$tmp/stripped"; do
        build="$tmp/build-$target-$(basename "$tree")"
        cmake -S "$tree" -B "$build" "${toolchain[@]}" -DONESTACK_BUILD_ALL=OFF -DONESTACK_INSTALL=OFF \
            -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
        cmake --build "$build" -j "${JOBS:-$(nproc)}" --target onestack_kernel >/dev/null
    done
    objdump=objdump
    [ "$target" = cortex-m3 ] && objdump=arm-none-eabi-objdump
    compared=0
    for object in $(cd "$tmp/build-$target-stripped" && find . \( -name '*.o' -o -name '*.obj' \)); do
        compared=$((compared + 1))
        if ! diff <("$objdump" -d "$tmp/build-$target-$(basename "$PWD")/$object" | tail -n +4) \
                  <("$objdump" -d "$tmp/build-$target-stripped/$object" | tail -n +4) >/dev/null; then
            echo "hooks_off_check: $target: $object differs from the kernel without its hooks" >&2
            exit 1
        fi
    done
    if [ "$compared" -lt 6 ]; then
        echo "hooks_off_check: $target: only $compared objects compared" >&2
        exit 1
    fi
    echo "hooks_off_check: $target: the kernel's machine code is that of the kernel without hooks ($compared objects)"
done
