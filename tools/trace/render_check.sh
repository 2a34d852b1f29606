#!/usr/bin/env bash
# Renders each SVG in headless Chromium and fails if a picture comes out
# blank: its screenshot must be well over twice the size of one of an empty
# SVG of the same size (a blank PNG compresses to almost nothing).
#
#   tools/trace/render_check.sh picture.svg...
set -euo pipefail
browser=$(command -v chromium || command -v chromium-browser || true)
[ -n "$browser" ] || { echo "render_check: needs Chromium (Debian: chromium)" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
shot() { # svg png width height
    timeout 120 "$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size="$3,$4" \
        --screenshot="$2" "file://$1" >/dev/null 2>&1
    [ -s "$2" ] || { echo "render_check: Chromium made no screenshot of $1" >&2; exit 1; }
}
for svg in "$@"; do
    path=$(realpath "$svg")
    width=$(sed -n 's/^<svg [^>]*width="\([0-9]*\).*/\1/p' "$path" | head -1)
    height=$(sed -n 's/^<svg [^>]*height="\([0-9]*\).*/\1/p' "$path" | head -1)
    printf '<svg xmlns="http://www.w3.org/2000/svg" width="%s" height="%s"><rect width="100%%" height="100%%" fill="white"/></svg>\n' \
        "$width" "$height" >"$tmp/blank.svg"
    shot "$path" "$tmp/picture.png" "$width" "$height"
    shot "$tmp/blank.svg" "$tmp/blank.png" "$width" "$height"
    picture=$(stat -c %s "$tmp/picture.png")
    blank=$(stat -c %s "$tmp/blank.png")
    if [ "$picture" -le $((2 * blank)) ]; then
        echo "render_check: $svg renders blank ($picture bytes against $blank for an empty picture)" >&2
        exit 1
    fi
    echo "render_check: $svg renders (${width}x${height}: $picture bytes, an empty one $blank)"
done
