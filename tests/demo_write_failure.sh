#!/bin/sh
# The demo writes one line naming a failed write on standard error and exits
# with a non-zero status: to a full device, and with standard output closed.
#   tests/demo_write_failure.sh path/to/demo
demo=$1
failures=0
expect() { # description, expected stderr, status, stderr
    if [ "$3" -eq 0 ] || [ "$4" != "$2" ]; then
        echo "$1: status $3, stderr: $4 (expected a non-zero status and: $2)"
        failures=$((failures + 1))
    fi
}
err=$("$demo" 2>&1 >/dev/full)
expect "to /dev/full" "demo: cannot write standard output: No space left on device" $? "$err"
err=$("$demo" 2>&1 >&-)
expect "standard output closed" "demo: cannot write standard output: Bad file descriptor" $? "$err"
exit $failures
