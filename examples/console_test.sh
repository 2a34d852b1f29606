#!/bin/sh
# Runs the serial console example under QEMU with examples/console.input
# fed to the board's UART through a pipe, and compares what the UART sends
# back, its periodic reports left out, with the expected text; at least one
# report must have come.
#
#   console_test.sh QEMU_SCRIPT ELF INPUT EXPECTED
set -eu
qemu=$1 elf=$2 input=$3 expected=$4
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkfifo "$dir/uart.in" "$dir/uart.out"
cat "$dir/uart.out" >"$dir/output" &
reader=$!
ONESTACK_QEMU_SERIAL="pipe:$dir/uart" "$qemu" -kernel "$elf" </dev/null >"$dir/semihosting" 2>&1 &
program=$!
cat "$input" >"$dir/uart.in"
if ! wait $program; then
    echo "console: the program failed:"
    cat "$dir/semihosting" "$dir/output"
    exit 1
fi
wait $reader
tr -d '\r' <"$dir/output" | grep -v '^report: ' >"$dir/answers" || true
diff "$expected" "$dir/answers"
grep -q '^report: ' "$dir/output" || { echo "console: no report came"; exit 1; }
echo "console: answers as expected, $(grep -c '^report: ' "$dir/output") report(s)"
