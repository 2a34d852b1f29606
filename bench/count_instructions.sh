#!/usr/bin/env bash
# Instructions per kernel operation, counted by callgrind: each operation's
# loop runs for two lengths, so start-up cancels out, and the baseline loop's
# cost per iteration (a call through a function pointer) is subtracted.
# Counts do not drift with machine load; use them to compare versions.
#
#   bench/count_instructions.sh [build-dir] [operation...]
set -euo pipefail
build=${1:-build}
shift || true
bench="$build/bench/kernel_bench"
[ -x "$bench" ] || { echo "no $bench: build first (make build)" >&2; exit 1; }
ops=("$@")
[ ${#ops[@]} -gt 0 ] || ops=(preemption_round_trip acquire_release acquire_release_dispatch release_oldest_of_8
                              activate_lower_and_run activate_equal_and_run
                              activate_behind_1 activate_behind_8 activate_behind_15
                              tick_with_8_timers_none_due interrupt_activation_that_runs
                              interrupt_tick_expiry_that_runs channel_send_not_empty
                              interrupt_send_to_empty_channel_that_runs)
short=10
long=1000000
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

instructions() { # operation loop-length
    valgrind --tool=callgrind --callgrind-out-file="$tmp/out" "$bench" --count "$1" "$2" >/dev/null 2>&1
    awk '/^summary:/ { print $2 }' "$tmp/out"
}

per_iteration() { # operation, in instructions times 100
    local a b
    a=$(instructions "$1" $short)
    b=$(instructions "$1" $long)
    echo $(( (b - a) * 100 / (long - short) ))
}

baseline=$(per_iteration baseline)
printf '%-26s %s\n' "baseline loop" "$(printf '%d.%02d' $((baseline / 100)) $((baseline % 100))) instructions per iteration"
printf '%-26s %s\n' operation "instructions beyond the baseline"
for op in "${ops[@]}"; do
    n=$(( $(per_iteration "$op") - baseline ))
    printf '%-26s %d.%02d\n' "$op" $((n / 100)) $((n % 100))
done
