#!/bin/sh
# onestack_trace as a user meets it: --help and --version; a directory, an
# endless device and a missing file refused with a reason and no crash; an
# output that cannot be written reported, the others still written, and no
# partial file left; an output that is the trace itself refused; - as
# standard input and output.
#
#   trace_cli_test.sh ONESTACK_TRACE RECORD_DEMO WORK_DIR
set -u
tool=$1 record=$2 work=$3 trace=$3/demo.trace
failures=0
fail() { echo "trace_cli_test: $*"; failures=$((failures + 1)); }
# expect STATUS PATTERN command...: the exit status, and a line of its output.
expect() {
    want=$1 pattern=$2
    shift 2
    out=$("$@" 2>&1)
    status=$?
    [ "$status" -eq "$want" ] || fail "$*: exit status $status, expected $want ($out)"
    printf '%s\n' "$out" | grep -q -- "$pattern" || fail "$*: no line matching '$pattern' in: $out"
}
rm -rf "$work" && mkdir -p "$work/out"
"$record" "$trace" >/dev/null || fail "record_demo did not write $trace"
expect 0 '^usage: onestack_trace' "$tool" --help
expect 0 '^onestack_trace [0-9]' "$tool" --version
expect 1 'not a regular file' "$tool" "$work" --json "$work/out/x.json"
expect 1 'not a regular file' timeout 10 "$tool" /dev/zero --json "$work/out/x.json"
expect 1 'cannot open it' "$tool" "$work/missing.trace"
expect 2 'is the trace itself' "$tool" "$trace" --svg "$trace"
expect 1 "$work/none/x.json: cannot write it" "$tool" "$trace" --json "$work/none/x.json" --vcd "$work/out/d.vcd"
[ -s "$work/out/d.vcd" ] || fail "the VCD was not written after the JSON failed"
[ -z "$(ls "$work/out" | grep -v '^d\.vcd$')" ] || fail "a partial or temporary file was left: $(ls "$work/out")"
expect 0 '^\$enddefinitions' sh -c "\"$tool\" - --vcd - <\"$trace\""
expect 2 '^usage' "$tool" "$trace" --bogus
[ "$failures" -eq 0 ] && echo "trace_cli_test: passed"
exit "$failures"
