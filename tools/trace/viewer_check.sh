#!/usr/bin/env bash
# The demo's exports opened by real viewers, headless: sigrok-cli (the
# library behind PulseView) reads the VCD and sees Task1 waiting while
# Task2 runs above it, which a z would have hidden; speedscope, from npm, in
# headless Chromium, loads the JSON and lists the tasks by their clean
# names. Run after make trace.
#
#   tools/trace/viewer_check.sh [VIEWER_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."
viewers=${1:-build-viewers}
json=build-trace/demo.json vcd=build-trace/demo.vcd
for tool in sigrok-cli chromium npm python3; do
    command -v $tool >/dev/null || { echo "viewer_check: needs $tool" >&2; exit 1; }
done

# The columns of sigrok's CSV, by channel name: a sample where Task2 runs
# and Task1 waits.
csv=$(sigrok-cli -I vcd -i "$vcd" -O csv 2>/dev/null)
awk -F, '/^; Channels/ { sub(/^[^:]*: /, ""); n = split($0, names, ", ");
                         for (i = 1; i <= n; ++i) column[names[i]] = i }
         /^[01]/ { if ($column["Task2_running"] == 1 && $column["Task1_waiting"] == 1) seen = 1;
                   if ($column["Task1_running"] == 1 && $column["Task1_waiting"] == 1) both = 1 }
         END { if (!seen || both) { print "viewer_check: sigrok-cli does not show Task1 preempted by Task2"; exit 1 } }' \
    <<<"$csv"
echo "viewer_check: sigrok-cli reads $vcd: Task1 waits while Task2 runs"

mkdir -p "$viewers"
[ -f "$viewers/node_modules/speedscope/dist/release/index.html" ] ||
    npm install --silent --prefix "$viewers" speedscope@1.25.0 >/dev/null
site=$(mktemp -d)
trap 'kill "$server" 2>/dev/null; rm -rf "$site"' EXIT
cp -r "$viewers/node_modules/speedscope/dist/release/." "$site/"
cp "$json" "$site/demo.json"
port=$((20000 + RANDOM % 20000))
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$site" >/dev/null 2>&1 &
server=$!
sleep 1
dom=$(timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-background-networking --no-first-run \
    --disable-component-update --disable-sync --user-data-dir="$site/profile" --virtual-time-budget=5000 \
    --dump-dom "http://127.0.0.1:$port/index.html#profileURL=http://127.0.0.1:$port/demo.json&view=sandwich" \
    2>/dev/null)
for task in Task1 Task2 Task3; do
    grep -q ">$task<" <<<"$dom" || { echo "viewer_check: speedscope does not list $task by its name" >&2; exit 1; }
done
echo "viewer_check: speedscope loads $json and lists Task1, Task2, Task3"
