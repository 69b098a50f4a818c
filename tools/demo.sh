#!/usr/bin/env bash
# Quorin demo: the engine, the reference server and a local web server on
# this machine's loopback, and a real transfer through the engine's SOCKS 5
# listener.
#
#   tools/demo.sh BIN_DIR [--check] [--satellite | --ui | --tunnel]
#
#   --check      run the transfers once and exit: 0 when every file arrived
#                byte-exact and the console answered "show stat"
#   --satellite  put the link emulator (linkem) between the engine and the
#                server: 300 ms each way, 8 Mbit/s down, 1 Mbit/s up, 0.5 % loss
#   --ui         the desktop interface instead (tools/demo_ui.sh); with --dvb
#                the downstream comes through a simulated satellite card
#   --tunnel     the engine takes over the default route of a user's machine
#                played by network namespaces (root): tools/demo_tunnel.sh
#
# Without --check everything stays up until Ctrl-C, for your own curl or
# browser. Everything runs in a scratch directory and is stopped on exit.
set -uo pipefail

usage() { sed -n '6,18p' "$0" | sed 's/^# \{0,1\}//'; }

if [ $# -lt 1 ] || [ "${1:-}" = "-h" ] || [ "${1:-}" = "--help" ]; then
    usage
    exit 2
fi
bin=$1
shift
for arg in "$@"; do
    if [ "$arg" = --ui ]; then
        rest=()
        for a in "$@"; do [ "$a" = --ui ] || rest+=("$a"); done
        exec "$(dirname "$0")/demo_ui.sh" "$bin" "${rest[@]}"
    fi
done
check=0
satellite=0
tunnel=0
for arg in "$@"; do
    case $arg in
    --check) check=1 ;;
    --satellite) satellite=1 ;;
    --tunnel) tunnel=1 ;;
    *)
        echo "demo: unknown option '$arg'" >&2
        usage >&2
        exit 2
        ;;
    esac
done

if ! bin=$(cd "$bin" 2>/dev/null && pwd); then
    echo "demo: no such directory: $1" >&2
    exit 2
fi
if [ $tunnel = 1 ]; then
    if [ $satellite = 1 ]; then
        echo "demo: --tunnel and --satellite do not go together" >&2
        exit 2
    fi
    # shellcheck source=tools/demo_tunnel.sh
    . "$(dirname "$0")/demo_tunnel.sh"
    # shellcheck disable=SC2317  # the tunnel demo ends the script itself
    exit 1
fi
progs=(quorin refserver)
[ $satellite = 1 ] && progs+=(linkem)
for prog in "${progs[@]}"; do
    if [ ! -x "$bin/$prog" ]; then
        echo "demo: $bin/$prog is not built" >&2
        exit 1
    fi
done
for tool in python3 curl sha256sum; do
    if ! command -v $tool >/dev/null; then
        echo "demo: $tool is missing" >&2
        exit 1
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quorin-demo.XXXXXX")
failed=0
names=()
pids=()
engine_pid=""
ctl_port=""

# shellcheck source=tools/demo_common.sh
. "$(dirname "$0")/demo_common.sh"
console() { console_send "$ctl_port" "$1"; }

# shellcheck disable=SC2317  # reached through the EXIT trap
stop_all() {
    trap - EXIT INT TERM
    [ -n "$ctl_port" ] && stop_engine
    stop_programs
    finish_work
}
trap stop_all EXIT
trap 'echo; echo "== stopping"; exit 130' INT TERM

# start NAME LOGFILE COMMAND...: runs a program in the scratch directory.
start() {
    local name=$1 log=$2
    shift 2
    (cd "$work" && exec "$@") >"$work/$log" 2>&1 </dev/null &
    names+=("$name")
    pids+=($!)
}

# wait_output PID FILE REGEX: the first match of REGEX's group 1 in FILE.
wait_output() {
    local pid=$1 file=$2 regex=$3 value
    for _ in $(seq 100); do
        value=$(sed -nE "s/.*$regex.*/\\1/p" "$file" 2>/dev/null | head -n1)
        if [ -n "$value" ]; then
            echo "$value"
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# wait_listen PID PORT: until PORT listens on loopback. It looks instead of
# connecting: a probe connection would show up in the engine's log as a
# client that hung up before its handshake.
wait_listen() {
    for _ in $(seq 100); do
        [ -n "$(ss -Hltn "sport = :$2" 2>/dev/null)" ] && return 0
        kill -0 "$1" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

free_ports() {
    python3 - "$1" <<'EOF'
import socket, sys
socks = []
for _ in range(int(sys.argv[1])):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    socks.append(s)
print(" ".join(str(s.getsockname()[1]) for s in socks))
EOF
}

die() {
    fail "$*"
    for f in "$work"/*.out; do
        [ -s "$f" ] && { echo "--- ${f##*/}" >&2; tail -n 20 "$f" >&2; }
    done
    exit 1
}

# ---------------------------------------------------------------- web server
mkdir -p "$work/www"
head -c 4000000 /dev/urandom >"$work/www/random.bin"
python3 - "$work/www" <<'EOF'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(1)
words = "quorin session packet stream window resend deflate satellite downlink uplink".split()
with open(os.path.join(root, "text.log"), "w") as f:
    size, n = 0, 0
    while size < 4000000:
        line = "%06d %s %s=%d %s\n" % (n, rnd.choice(words), rnd.choice(words), rnd.randrange(100000), " ".join(rnd.choice(words) for _ in range(6)))
        f.write(line)
        size += len(line)
        n += 1
with open(os.path.join(root, "index.html"), "w") as f:
    f.write("<!doctype html>\n<html><head><title>Quorin demo</title></head><body>\n"
            "<h1>Served through the Quorin engine</h1>\n<ul>\n"
            '<li><a href="random.bin">random.bin</a> (4 MB of random bytes: incompressible)</li>\n'
            '<li><a href="text.log">text.log</a> (4 MB of log-like text: compresses well)</li>\n'
            "</ul></body></html>\n")
EOF
start web web.out python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work/www"
web_pid=${pids[-1]}
web_port=$(wait_output "$web_pid" "$work/web.out" 'port ([0-9]+)') || die "web server did not start"

# ---------------------------------------------------------- reference server
# Internal service 0 is the web server: the engine's port-forward listener
# reaches it without any proxy handshake.
start refserver refserver.out "$bin/refserver" --listen 127.0.0.1:0 --user demo:demo \
    --internal "0=127.0.0.1:$web_port"
ref_pid=${pids[-1]}
ref_port=$(wait_output "$ref_pid" "$work/refserver.out" 'LISTEN ([0-9]+)') || die "refserver did not start"
server_port=$ref_port

if [ $satellite = 1 ]; then
    start linkem linkem.out "$bin/linkem" --listen 127.0.0.1:0 --server "127.0.0.1:$ref_port" \
        --delay 300 --jitter 5 --down-rate 8000 --up-rate 1000 --loss 0.5
    link_pid=${pids[-1]}
    server_port=$(wait_output "$link_pid" "$work/linkem.out" 'LISTEN ([0-9]+)') || die "linkem did not start"
    # Bytes per second, a little under the emulated link's rates.
    speed_in=950000
    speed_out=110000
else
    speed_in=20000000
    speed_out=20000000
fi

# -------------------------------------------------------------------- engine
read -r socks_port ctl_port fwd_port <<<"$(free_ports 3)"
cat >"$work/quorin.conf" <<EOF
[server]
log=quorin.log
debug=1
port=0
control_socket=127.0.0.1:$ctl_port

[remote]
name=demo
server=127.0.0.1:$server_port
login=demo
passwd=demo
speed_in=$speed_in
speed_out=$speed_out

[local]
remote=demo
socks5
port=127.0.0.1:$socks_port

[local]
remote=demo
service_int=0
port=127.0.0.1:$fwd_port
EOF
# A copy of the engine in the scratch directory runs headless: the interface
# library next to the build's engine stays out of this demo.
cp "$bin/quorin" "$work/quorin"
start quorin quorin.out "$work/quorin"
engine_pid=${pids[-1]}
wait_listen "$engine_pid" "$socks_port" || die "the engine does not listen on its SOCKS 5 port $socks_port"
wait_listen "$engine_pid" "$fwd_port" || die "the engine does not listen on its forward port $fwd_port"
wait_listen "$engine_pid" "$ctl_port" || die "the engine does not listen on its console port $ctl_port"

say "quorin.conf"
cat "$work/quorin.conf"
say "engine banner (standard output)"
head -n 5 "$work/quorin.out"
say "bound sockets"
pid_list=$(IFS='|'; echo "${pids[*]}")
ss -lntup 2>/dev/null | sed -n '1p'
ss -lntup 2>/dev/null | grep -E "pid=($pid_list)," || echo "(ss shows nothing)"
for i in "${!names[@]}"; do printf '  %-10s pid %s\n' "${names[$i]}" "${pids[$i]}"; done
if [ $satellite = 1 ]; then
    echo "  engine -> linkem 127.0.0.1:$server_port -> refserver 127.0.0.1:$ref_port"
fi

# ----------------------------------------------------------------- transfers
stat_fields() {
    # The statistics line: [qrid][pid]/udp_in/udp_out/local_in/local_out/...
    console "show stat" | grep -E '^\[[^]]*\]\[[0-9]+\](/[-0-9.]+){10}[[:space:]]*$' | head -n1
}

transfer() {
    local file=$1 before after out
    before=$(stat_fields)
    say "curl --socks5-hostname 127.0.0.1:$socks_port http://localhost:$web_port/$file"
    out=$(curl -sS --max-time 120 --socks5-hostname "127.0.0.1:$socks_port" \
        -o "$work/got.$file" -w '%{http_code} %{size_download} %{speed_download} %{time_total}' \
        "http://localhost:$web_port/$file")
    local rc=$?
    after=$(stat_fields)
    if [ $rc != 0 ]; then
        fail "curl exited with $rc for $file"
        return
    fi
    read -r code size speed secs <<<"$out"
    local want got
    want=$(sha256sum <"$work/www/$file" | cut -d' ' -f1)
    got=$(sha256sum <"$work/got.$file" | cut -d' ' -f1)
    printf '  HTTP %s, %s bytes in %.2f s: %.0f KB/s\n' "$code" "$size" "$secs" "$(echo "$speed" | tr -d ' ')e-3"
    printf '  sha256 sent     %s\n  sha256 received %s\n' "$want" "$got"
    if [ "$want" = "$got" ]; then
        echo "  byte-exact: yes"
    else
        fail "$file arrived different from the original"
    fi
    if [ -n "$before" ] && [ -n "$after" ]; then
        local udp_in
        udp_in=$(($(echo "$after" | cut -d/ -f2) - $(echo "$before" | cut -d/ -f2)))
        printf '  UDP bytes received by the engine for it: %s (%.0f%% of the file)\n' \
            "$udp_in" "$(python3 -c "print($udp_in * 100 / max($size, 1))")"
    fi
}

say "index page through the proxy"
if page=$(curl -sS --max-time 30 --socks5-hostname "127.0.0.1:$socks_port" "http://localhost:$web_port/"); then
    echo "$page" | grep -o '<title>.*</title>'
else
    fail "the index page did not come through"
fi
transfer random.bin
transfer text.log

say "curl http://127.0.0.1:$fwd_port/index.html (port forward to internal service 0)"
if page=$(curl -sS --max-time 30 "http://127.0.0.1:$fwd_port/index.html"); then
    echo "$page" | grep -o '<title>.*</title>'
    [ "$page" = "$(cat "$work/www/index.html")" ] || fail "the forwarded index page differs from the original"
else
    fail "the index page did not come through the forward port"
fi

say "console: show stat"
stat=$(stat_fields)
if [ -n "$stat" ]; then
    echo "  $stat"
    IFS=/ read -r _ udp_in udp_out loc_in loc_out rx asked asked_pct tx resent resent_pct <<<"$stat"
    echo "  UDP in $udp_in B, UDP out $udp_out B, local in $loc_in B, local out $loc_out B"
    echo "  datagrams received $rx (resends asked $asked, $asked_pct%), sent $tx (resent $resent, $resent_pct%)"
else
    fail "the console did not answer \"show stat\" with a statistics line"
fi

say "engine log (quorin.log, last lines)"
tail -n 15 "$work/quorin.log" 2>/dev/null || echo "(no log)"

if [ $check = 1 ]; then
    say "result"
    if [ $failed = 0 ]; then
        echo "demo check passed"
        exit 0
    fi
    echo "demo check FAILED"
    exit 1
fi

say "ready"
cat <<EOF
The engine's SOCKS 5 proxy listens on 127.0.0.1:$socks_port. Try:

  curl --socks5-hostname 127.0.0.1:$socks_port http://localhost:$web_port/
  curl --socks5-hostname 127.0.0.1:$socks_port -o /dev/null http://localhost:$web_port/random.bin

or point a browser's SOCKS 5 proxy (with remote DNS) at 127.0.0.1:$socks_port and
open http://localhost:$web_port/. The web server is also the server's internal
service 0, which the engine forwards without any handshake:

  curl http://127.0.0.1:$fwd_port/

The console answers "show stat" on 127.0.0.1:$ctl_port. The engine logs to
$work/quorin.log (the directory is removed when the demo stops).

Ctrl-C stops everything.
EOF
while kill -0 "$engine_pid" 2>/dev/null; do
    sleep 1
done
fail "the engine exited"
tail -n 20 "$work/quorin.out" >&2
exit 1
