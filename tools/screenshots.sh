#!/usr/bin/env bash
# Pictures of every interface window, taken on a private Xvfb display with
# trayer as the system tray, in a network namespace of its own (the
# statistics window is pictured against a running engine, whose console
# has a fixed port).
#
#   tools/screenshots.sh BIN_DIR OUT_DIR
set -uo pipefail
if [ $# -ne 2 ]; then
    sed -n '5p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
fi
bin=$1
out=$2
if [ -z "${QUORIN_SHOTS_NETNS:-}" ]; then
    export QUORIN_SHOTS_NETNS=1
    if [ "$(id -u)" -eq 0 ]; then
        exec unshare -n "$0" "$@"
    fi
    exec unshare -rn "$0" "$@"
fi
ip link set lo up || { echo "screenshots: the namespace's loopback does not come up" >&2; exit 1; }
for tool in Xvfb trayer; do
    command -v $tool >/dev/null || { echo "screenshots: $tool is missing" >&2; exit 1; }
done
for prog in ui_screenshots quorin refserver; do
    [ -x "$bin/$prog" ] || { echo "screenshots: $bin/$prog is not built" >&2; exit 1; }
done

fifo=$(mktemp -u "${TMPDIR:-/tmp}/quorin-shots.XXXXXX")
mkfifo "$fifo"
# Qt keeps its run-time files there, and says so when it has none.
runtime=$(mktemp -d "${TMPDIR:-/tmp}/quorin-shots-runtime.XXXXXX")
export XDG_RUNTIME_DIR=$runtime
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
xvfb=$!
tray=""
cleanup() {
    [ -n "$tray" ] && kill "$tray" 2>/dev/null
    kill "$xvfb" 2>/dev/null
    wait 2>/dev/null
    rm -f "$fifo"
    rm -rf "$runtime"
}
trap cleanup EXIT
read -r -t 30 display <"$fifo" || { echo "screenshots: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display"
trayer --edge bottom --align right --widthtype request --height 32 --transparent false \
    --SetDockType true >/dev/null 2>&1 &
tray=$!
mkdir -p "$out"
QT_QPA_PLATFORM=xcb "$bin/ui_screenshots" "$out"
