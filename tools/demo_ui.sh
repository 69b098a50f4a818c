#!/usr/bin/env bash
# Quorin desktop demo: the engine with its interface library, the reference
# server with its account service, and a local web server, all inside a
# network namespace of their own (the interface puts the engine's console on
# the fixed port 30000).
#
#   tools/demo_ui.sh BIN_DIR [--check] [--dvb]
#
# The connect dialog comes up on your display (DISPLAY), with a subscription
# ready: press Connect. The demo then fetches pages through the engine's
# proxies and keeps data flowing, so that the tray icon animates and the
# statistics window (a click on the icon) shows it moving, until you quit
# from the tray menu or press Ctrl-C. Without a display you can reach from
# the namespace, or with --check, it runs on a private Xvfb with trayer,
# presses Connect itself, checks the transfers, opens the statistics window
# from the tray, quits from the tray menu, and exits with the result.
# --dvb: the downstream comes by satellite: the reference server sends it
# as MPE sections in a transport stream to a simulated DVB card (libTeVii.so
# with tevii-sim.ini), which the interface tunes through libdvb.so and
# libKestrix.so; the link emulator drops what the server sends the ordinary
# way. The DVB window and the statistics window's DVB page show the card.
set -uo pipefail

usage() { sed -n '7p' "$0" | sed 's/^# \{0,1\}//'; }

if [ $# -lt 1 ] || [ "${1:-}" = "-h" ] || [ "${1:-}" = "--help" ]; then
    usage
    exit 2
fi
if ! bin=$(cd "$1" 2>/dev/null && pwd); then
    echo "demo: no such directory: $1" >&2
    exit 2
fi
shift
check=0
dvb=0
for arg in "$@"; do
    case $arg in
    --check) check=1 ;;
    --dvb) dvb=1 ;;
    *)
        echo "demo: unknown option '$arg'" >&2
        usage >&2
        exit 2
        ;;
    esac
done

# A namespace of its own first: as root directly, otherwise through a user
# namespace.
if [ -z "${QUORIN_DEMO_NETNS:-}" ]; then
    export QUORIN_DEMO_NETNS=1
    if [ "$(id -u)" -eq 0 ]; then
        exec unshare -n "$0" "$bin" "$@"
    fi
    exec unshare -rn "$0" "$bin" "$@"
fi
ip link set lo up || { echo "demo: the namespace's loopback does not come up" >&2; exit 1; }

progs=(quorin libquorin_ui.so refserver ui_screenshots)
[ $dvb = 1 ] && progs+=(linkem libdvb.so libKestrix.so libTeVii.so)
for prog in "${progs[@]}"; do
    [ -e "$bin/$prog" ] || { echo "demo: $bin/$prog is not built" >&2; exit 1; }
done
for tool in python3 curl xdotool Xvfb trayer; do
    command -v $tool >/dev/null || { echo "demo: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quorin-demo-ui.XXXXXX")
failed=0
pids=()
engine_pid=""
# shellcheck source=tools/demo_common.sh
. "$(dirname "$0")/demo_common.sh"
console() { console_send 30000 "$1"; }

# shellcheck disable=SC2317  # reached through the EXIT trap
stop_all() {
    trap - EXIT INT TERM
    stop_engine
    stop_programs
    finish_work
}
trap stop_all EXIT
trap 'echo; echo "== stopping"; exit 130' INT TERM

start() {
    local log=$1
    shift
    (cd "$work" && exec "$@") >"$work/$log" 2>&1 </dev/null &
    pids+=($!)
}

# Whether the link emulator wrote more than N pairs of counters.
counters_after() { [ "$(grep -c "^linkem down:" "$work/linkem.out")" -gt "$1" ]; }

wait_for() {
    local what=$1 tries=$2
    shift 2
    for _ in $(seq "$tries"); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    fail "$what"
    return 1
}

# ------------------------------------------------------------ display
if [ $check = 0 ] && [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    on_xvfb=0
    say "using your display $DISPLAY"
else
    on_xvfb=1
    mkfifo "$work/displayfd"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/displayfd" 2>/dev/null &
    pids+=($!)
    read -r -t 30 number <"$work/displayfd" || { fail "Xvfb did not start"; exit 1; }
    export DISPLAY=":$number"
    trayer --edge bottom --align right --widthtype request --height 32 --transparent false \
        --SetDockType true >/dev/null 2>&1 &
    pids+=($!)
    say "running on a private Xvfb ($DISPLAY) with trayer as the tray"
fi

# --------------------------------------------------------- web and services
mkdir -p "$work/www"
cat >"$work/www/index.html" <<'EOF'
<!doctype html>
<html><head><title>Quorin desktop demo</title></head><body>
<h1>Served through the Quorin engine the interface started</h1>
</body></html>
EOF
head -c 2000000 /dev/urandom >"$work/www/random.bin"
for i in $(seq 20000); do
    echo "line $i of the Quorin desktop demo: plain text, which the session compresses well"
done >"$work/www/text.txt"
start web.out python3 -u -m http.server 8080 --bind 127.0.0.1 --directory "$work/www"
wait_for "the web server did not start" 100 curl -s -o /dev/null http://127.0.0.1:8080/ || exit 1

# With --dvb the server's downstream goes to the card's feed on UDP 5500
# (PID 291, satellite address 10.0.0.1), and the engine reaches the server
# through the link emulator on 25556, which drops every datagram downstream.
# The account service answers the "download settings" road too.
sat=()
server_port=25555
[ $dvb = 1 ] && sat=(--sat "127.0.0.1:5500,291,10.0.0.1") && server_port=25556
start refserver.out "$bin/refserver" --listen 127.0.0.1:25555 --user demo:demo --internal 0=127.0.0.1:8080 \
    --account 127.0.0.1:8081 --account-csv demo=0::2066::5 "${sat[@]}"
wait_for "the reference server did not start" 100 grep -q LISTEN "$work/refserver.out" || exit 1
if [ $dvb = 1 ]; then
    start linkem.out "$bin/linkem" --listen 127.0.0.1:25556 --server 127.0.0.1:25555 --down-loss 100 --stats 1
    wait_for "the link emulator did not start" 100 grep -q LISTEN "$work/linkem.out" || exit 1
fi

# ------------------------------------------------------ the interface's files
cp "$bin/quorin" "$bin/libquorin_ui.so" "$work/"
if [ $dvb = 1 ]; then
    # The DVB libraries beside the program, and the simulated card's
    # settings beside its library.
    cp "$bin/libdvb.so" "$bin/libKestrix.so" "$bin/libTeVii.so" "$work/"
    printf '[Card]\nDevices=1\n[Device0]\nName=Simulated DVB-S2 card\nFeed=udp\nUdpPort=5500\n' \
        >"$work/tevii-sim.ini"
fi
cat >"$work/quorin.conf" <<EOF
[server]
traffic=60
port=2080
log=client.log
datatimeout=300
control_socket=127.0.0.1:30000
[remote]
name=quorin
server=127.0.0.1:$server_port
login=demo
passwd=demo
mtu=500
mru=1400
speed_in=20000000
speed_out=20000000
[local]
remote=quorin
service_int=0
port=127.0.0.1:3128
[local]
remote=quorin
service_int=2
port=127.0.0.1:1080
EOF
cat >"$work/Subscriptions.ini" <<'EOF'
[demo]
Quorin\passwd=demo
Quorin\remote\server=127.0.0.1
Quorin\remote\speed_in_min=20000000
Quorin\remote\speed_in_max=20000000
Quorin\remote\speed_out_min=20000000
Quorin\remote\speed_out_max=20000000
EOF
printf 'Quorin\\remote\\port=%s\n' "$server_port" >>"$work/Subscriptions.ini"
[ $dvb = 1 ] && printf 'DVB\\Enabled=true\nDVB\\PID=291\nDVB\\SATIP=10.0.0.1\n' >>"$work/Subscriptions.ini"
cat >"$work/UI settings.ini" <<'EOF'
[server%20list]
1\Reference%20server=127.0.0.1
[speed_in%20list]
1\512%20kbit=64000
2\160%20Mbit=20000000
[speed_out%20list]
1\64%20kbit=8000
2\160%20Mbit=20000000
[port%20list]
1\25555=
EOF
chmod 600 "$work/quorin.conf" "$work/Subscriptions.ini"

# ------------------------------------------------------------------ engine
say "starting quorin with libquorin_ui.so next to it in $work"
(cd "$work" && QUORIN_ACCOUNT_HOST=127.0.0.1:8081 exec ./quorin) >"$work/quorin.out" 2>&1 </dev/null &
engine_pid=$!
wait_for "the connect dialog did not appear" 300 xdotool search --onlyvisible --name '^Quorin v. 5.0$' || exit 1
window=$(xdotool search --onlyvisible --name '^Quorin v. 5.0$' | head -n1)

if [ $on_xvfb = 1 ]; then
    say "pressing Connect (the subscription 'demo' is ready)"
    xdotool windowfocus --sync "$window"
    xdotool key --clearmodifiers Tab Return
else
    cat <<EOF

The connect dialog is on your screen with the subscription "demo" ready.
Press Connect. (Or choose "download settings" and Download: the account
service answers for demo/demo.)
EOF
fi

wait_for "the engine's console did not come up" 600 console "show stat" || exit 1
say "the engine is up: quorin.conf as the interface wrote it"
cat "$work/quorin.conf"

say "curl --socks5-hostname 127.0.0.1:1080 http://localhost:8080/ (the SOCKS 5 listener)"
if page=$(curl -sS --max-time 30 --socks5-hostname 127.0.0.1:1080 http://localhost:8080/); then
    echo "$page" | grep -o '<title>.*</title>'
else
    fail "no page through the SOCKS 5 listener"
fi
say "curl http://127.0.0.1:3128/random.bin (the HTTP service, forwarded to the web server)"
if curl -sS --max-time 60 -o "$work/got.bin" http://127.0.0.1:3128/random.bin &&
    cmp -s "$work/got.bin" "$work/www/random.bin"; then
    echo "  2 MB arrived byte-exact"
else
    fail "the file did not arrive intact through the HTTP service"
fi
say "console: show stat"
console "show stat"
grep -m1 "LOGIN ok" "$work/refserver.out"
if [ $dvb = 1 ]; then
    say "the downstream came by satellite; the link emulator, which drops what the server sends the ordinary way:"
    # Its counters come once a second, up before down: the first pair
    # written after the transfers counts all of them.
    written=$(grep -c "^linkem down:" "$work/linkem.out")
    if wait_for "the link emulator wrote no counters after the transfers" 50 counters_after "$written"; then
        for way in up down; do
            grep "^linkem $way:" "$work/linkem.out" | tail -n 1 |
                awk '{ for (i = 3; i < NF; i += 2) n[$i] = $(i + 1)
                       printf "  %s %s datagrams arrived, %s dropped, %s passed on\n", $2, n["arrived"], n["lost"], n["departed"] }'
        done
    fi
fi

# Downloads at changing rates, text and noise, for as long as the demo runs.
traffic() {
    local child=""
    trap '[ -n "$child" ] && kill "$child" 2>/dev/null; exit 0' TERM
    while :; do
        for step in text.txt:400k random.bin:150k text.txt:900k random.bin:60k; do
            curl -s --max-time 20 --limit-rate "${step#*:}" --socks5-hostname 127.0.0.1:1080 -o /dev/null \
                "http://localhost:8080/${step%%:*}" &
            child=$!
            wait "$child"
        done
    done
}
traffic >/dev/null 2>&1 &
pids+=($!)
say "data keeps flowing through the engine: the tray icon animates"

if [ $on_xvfb = 1 ]; then
    # The icon sits in trayer's panel.
    panel=$(xdotool search --name '^panel$' | head -n1)
    say "a click on the tray icon opens the statistics window"
    xdotool mousemove --window "$panel" 12 16 click 1
    if wait_for "the statistics window did not open" 100 xdotool search --onlyvisible --name '^Quorin v\.5$'; then
        echo "  the statistics window is open"
    fi
    # A few samples, so that the plots show the data moving.
    sleep 8
    [ -n "${DEMO_SCREENSHOT:-}" ] && "$bin/ui_screenshots" --grab-screen "$DEMO_SCREENSHOT"
    say "Quit from the tray menu"
    xdotool mousemove --window "$panel" 12 16 click 3
    sleep 1
    xdotool key q
    for _ in $(seq 100); do
        kill -0 "$engine_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$engine_pid" 2>/dev/null; then
        fail "Quit from the tray menu did not end quorin"
    else
        wait "$engine_pid"
        status=$?
        echo "  quorin exited with status $status"
        [ "$status" = 1 ] || fail "quorin's exit status is $status, not 1"
    fi
    engine_pid=""
    say "result"
    if [ $failed = 0 ]; then
        echo "desktop demo passed"
        exit 0
    fi
    echo "desktop demo FAILED"
    exit 1
fi

cat <<EOF

The engine runs with the settings the interface wrote, and data keeps
flowing through it: the tray icon animates (green, yellow or red by the
packet loss) and its tooltip counts the traffic. A click on the icon opens
the statistics window, whose figures and plots follow the downloads; the
icon's menu changes the server or the speeds, restarts the session or
quits. Ctrl-C here stops everything.
EOF
while kill -0 "$engine_pid" 2>/dev/null; do
    sleep 1
done
wait "$engine_pid"
echo "quorin exited with status $?"
engine_pid=""
