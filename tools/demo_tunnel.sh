# shellcheck shell=bash disable=SC2154  # bin and check come from tools/demo.sh
# Quorin tunnel demo: the engine takes over the default route of a user's
# machine and carries its traffic through the reference server. Network
# namespaces play the parts (root is needed):
#
#   user     the user's machine: a LAN (veth) with the default route, and the
#            TUN device that the engine takes over through libtun.so
#   service  the service's server (the reference server) behind the LAN's
#            gateway; it does not forward, so the user reaches the web
#            server only through the session
#   net      the service's network: the reference server's own TUN device and
#            a web server at 203.0.113.80 (HTTP on 80, UDP echo on 7)
#
# Sourced by tools/demo.sh for --tunnel, with $bin (the folder of the built
# programs) and $check set. With --check it runs the road once and exits 0
# only when curl fetched the file byte-exact, ping and a UDP datagram made
# the round trip and the user's routes after shutdown equal those before.
# Without it everything stays up until Ctrl-C, which stops the engine
# (SIGINT and SIGTERM take its console's shutdown road) and shows the routes
# given back.

for f in quorin refserver libtun.so; do
    if [ ! -e "$bin/$f" ]; then
        echo "demo: $bin/$f is not built" >&2
        exit 1
    fi
done
for tool in ip python3 curl ping sha256sum sysctl; do
    if ! command -v $tool >/dev/null; then
        echo "demo: $tool is missing" >&2
        exit 1
    fi
done
if [ "$(id -u)" -ne 0 ]; then
    echo "demo: the tunnel demo makes network namespaces and TUN devices: run it as root" >&2
    exit 1
fi
if [ ! -c /dev/net/tun ]; then
    echo "demo: /dev/net/tun is missing" >&2
    exit 1
fi

# Names of this run: namespaces and devices (at most 15 characters).
p=qd$$
user=${p}u service=${p}s net=${p}n
lan=${p}ul lan_peer=${p}sl back=${p}sn back_peer=${p}ns user_tun=${p}ut service_tun=${p}nt
tunnel_ip=10.0.0.2 gateway=192.168.77.1 server_ip=198.51.100.1 web_ip=203.0.113.80

work=$(mktemp -d "${TMPDIR:-/tmp}/quorin-tunnel-demo.XXXXXX")
failed=0
pids=()
engine_pid=""
made=()

in_user() { ip netns exec "$user" "$@"; }

# shellcheck source=tools/demo_common.sh
. "$(dirname "$0")/demo_common.sh"
console_prefix=(ip netns exec "$user")
console() { console_send 30000 "$1"; }

# shellcheck disable=SC2317  # reached through the EXIT trap
cleanup() {
    trap - EXIT INT TERM
    stop_engine
    stop_programs
    # Deleting the namespaces takes their devices and routes with them.
    local ns
    for ns in "${made[@]}"; do ip netns del "$ns" 2>/dev/null; done
    finish_work
}
trap cleanup EXIT
trap 'echo; echo "== stopping"; exit 130' INT TERM

die() {
    fail "$*"
    for f in "$work"/*.out "$work"/quorin.log "$work"/route.log; do
        [ -s "$f" ] && { echo "--- ${f##*/}" >&2; tail -n 20 "$f" >&2; }
    done
    exit 1
}

run() { "$@" >>"$work/setup.out" 2>&1 || die "setting up: $*"; }

# ------------------------------------------------------------- the networks
for ns in "$user" "$service" "$net"; do
    run ip netns add "$ns"
    made+=("$ns")
    run ip -n "$ns" link set lo up
done
run ip link add "$lan" netns "$user" type veth peer name "$lan_peer" netns "$service"
run ip -n "$user" addr add 192.168.77.2/24 dev "$lan"
run ip -n "$user" link set "$lan" up
run ip -n "$user" route add default via "$gateway"
run ip -n "$service" addr add "$gateway/24" dev "$lan_peer"
run ip -n "$service" link set "$lan_peer" up
run ip -n "$service" addr add "$server_ip/32" dev lo
run ip netns exec "$service" sysctl -qw net.ipv4.ip_forward=0
run ip link add "$back" netns "$service" type veth peer name "$back_peer" netns "$net"
run ip -n "$service" addr add 192.0.2.1/30 dev "$back"
run ip -n "$service" link set "$back" up
run ip -n "$net" addr add 192.0.2.2/30 dev "$back_peer"
run ip -n "$net" link set "$back_peer" up
run ip -n "$service" route add 203.0.113.0/24 via 192.0.2.2
run ip -n "$net" addr add "$web_ip/32" dev lo
run ip -n "$net" tuntap add "$service_tun" mode tun
run ip -n "$net" link set "$service_tun" up
run ip -n "$net" route add "$tunnel_ip/32" dev "$service_tun"
# The device that the engine takes over, made as an administrator makes it.
run ip -n "$user" tuntap add "$user_tun" mode tun

say "the networks (network namespaces)"
cat <<EOF
  $user   (the user's machine)  LAN $lan 192.168.77.2/24, default via $gateway
                            TUN $user_tun for the engine (address $tunnel_ip, peer 10.0.0.1)
  $service   (the service)        LAN $lan_peer $gateway, reference server at $server_ip
  $net   (service's network)   web server $web_ip (HTTP :80, UDP echo :7),
                            reference server's TUN $service_tun, route to $tunnel_ip through it
EOF

# ---------------------------------------------------------------- servers
mkdir -p "$work/www"
head -c 4000000 /dev/urandom >"$work/www/random.bin"
printf '<!doctype html>\n<title>Quorin tunnel demo</title>\n<h1>Reached through the Quorin tunnel</h1>\n' \
    >"$work/www/index.html"
(cd "$work/www" && exec ip netns exec "$net" python3 -u -m http.server 80 --bind "$web_ip") \
    >"$work/web.out" 2>&1 </dev/null &
pids+=($!)
ip netns exec "$net" python3 -u - "$web_ip" >"$work/echo.out" 2>&1 </dev/null <<'EOF' &
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 7))
print("UDP echo ready", flush=True)
while True:
    data, peer = s.recvfrom(65535)
    print("UDP from %s:%d, %d bytes" % (peer[0], peer[1], len(data)), flush=True)
    s.sendto(data, peer)
EOF
pids+=($!)
ip netns exec "$service" "$bin/refserver" --listen "$server_ip:0" --user demo:demo \
    --tun "$service_tun" --netns "$net" -v >"$work/refserver.out" 2>&1 </dev/null &
pids+=($!)
ref_pid=$!

wait_for() {  # wait_for SECONDS COMMAND...: until the command succeeds
    local end=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -ge "$end" ] && return 1
        sleep 0.1
    done
}
wait_for 10 grep -q "^TUN $service_tun" "$work/refserver.out" || die "the reference server did not start"
ref_port=$(sed -n 's/^LISTEN //p' "$work/refserver.out")
wait_for 10 grep -q "Serving HTTP" "$work/web.out" || die "the web server did not start"
wait_for 10 grep -q "UDP echo ready" "$work/echo.out" || die "the UDP echo did not start"

# ------------------------------------------------------------------ before
say "ip route on the user's machine, before the engine"
in_user ip route
in_user ip -4 route show table all >"$work/routes.before"
say "curl http://$web_ip/ without the tunnel (out of reach: the service does not forward)"
if in_user curl -q -sS --max-time 2 -o /dev/null "http://$web_ip/" 2>&1; then
    fail "the web server is reachable without the tunnel: the demo proves nothing"
else
    echo "  not reachable, as it should be"
fi

# ------------------------------------------------------------------ engine
cat >"$work/quorin.conf" <<EOF
[server]
log=quorin.log
debug=1
port=0
control_socket=127.0.0.1:30000

[remote]
name=quorin
server=$server_ip:$ref_port
login=demo
passwd=demo
speed_in=20000000
speed_out=20000000

[local]
remote=quorin
tun_timeout=10
tun_init=dhcp
tap_guid=$user_tun
tunnel=$tunnel_ip:3001

[local]
remote=quorin
transparent
port=$tunnel_ip:3000
EOF
say "quorin.conf (the interface's tunnel and transparent sections, the device named)"
cat "$work/quorin.conf"

# A copy of the engine with the tunnel library beside it: the interface
# library next to the build's engine stays out of this demo.
cp "$bin/quorin" "$bin/libtun.so" "$work/"
(cd "$work" && exec ip netns exec "$user" "$work/quorin") >"$work/quorin.out" 2>&1 </dev/null &
engine_pid=$!
say "the engine brings the tunnel up (a copy of quorin, with libtun.so beside it)"
wait_for 60 grep -q "listening on $tunnel_ip:3000" "$work/quorin.log" ||
    die "the engine did not bring the tunnel up"
grep -E "TAP guid|Adapter ix|DHCP|tun thread|Tunnel start" "$work/quorin.log" | sed 's/^\[[^]]*\]\[[0-9]*\]/  /'

say "ip route on the user's machine, while the tunnel is up"
in_user ip route
in_user ip -4 addr show dev "$user_tun" | sed -n '2p'

# ----------------------------------------------------------------- traffic
say "curl http://$web_ip/random.bin (no proxy: the library redirects the connection to the engine)"
if out=$(in_user env -u http_proxy -u HTTP_PROXY -u all_proxy -u ALL_PROXY \
    curl -q -sS --max-time 60 -o "$work/got.bin" -w '%{http_code} %{size_download} %{time_total}' \
    "http://$web_ip/random.bin"); then
    read -r code size secs <<<"$out"
    printf '  HTTP %s, %s bytes in %s s\n' "$code" "$size" "$secs"
    want=$(sha256sum <"$work/www/random.bin" | cut -d' ' -f1)
    got=$(sha256sum <"$work/got.bin" | cut -d' ' -f1)
    printf '  sha256 sent     %s\n  sha256 received %s\n' "$want" "$got"
    if [ "$want" = "$got" ]; then echo "  byte-exact: yes"; else fail "random.bin arrived different"; fi
else
    fail "curl failed"
fi
grep -o "New connection to: .*" "$work/quorin.log" | head -n 3 | sed 's/^/  engine: /'
grep -E "^OPEN " "$work/refserver.out" | head -n 3 | sed 's/^/  reference server: /'

say "ping -c 3 $web_ip (ICMP as whole packets through the session)"
if in_user ping -c 3 -W 2 "$web_ip"; then
    echo "  reference server (tunnel packet commands through its TUN device), first lines:"
    grep -E '^TUNNEL (out )?[0-9a-f]+ [0-9]+$' "$work/refserver.out" | head -n 2 | sed 's/^/    /'
else
    fail "ping got no answer through the session"
fi

say "a UDP datagram to $web_ip:7 and back"
if reply=$(in_user python3 - "$web_ip" <<'EOF'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(2)
for _ in range(5):
    s.sendto(b"a datagram through the session", (sys.argv[1], 7))
    try:
        data, peer = s.recvfrom(65535)
    except socket.timeout:
        continue
    print("%s from %s:%d" % (data.decode(), peer[0], peer[1]))
    sys.exit(0)
sys.exit(1)
EOF
); then
    echo "  answer: $reply"
    tail -n 1 "$work/echo.out" | sed 's/^/  echo server: /'
else
    fail "no UDP answer through the session"
fi

say "console: show stat"
console "show stat" | sed 's/^/  /'

say "route.log"
sed 's/^/  /' "$work/route.log"

if [ "$check" = 0 ]; then
    say "ready"
    cat <<EOF
The user's machine is the namespace $user: its traffic to any address outside
its LAN goes through the engine. Try, as root:

  ip netns exec $user curl http://$web_ip/
  ip netns exec $user ping $web_ip
  ip netns exec $user ip route

Logs: $work. Ctrl-C stops the engine (SIGINT takes the road of its console's
shutdown) and shows the routes given back.
EOF
    interrupted=0
    trap 'interrupted=1' INT
    while [ $interrupted = 0 ] && kill -0 "$engine_pid" 2>/dev/null; do
        sleep 1
    done
    trap 'echo; echo "== stopping"; exit 130' INT
    echo
fi

# ------------------------------------------------------------------ after
if [ "$check" = 0 ]; then
    # Ctrl-C reached the engine as well; SIGTERM, the same road, in case it
    # was sent to this script alone.
    say "stopping the engine (SIGINT, SIGTERM)"
    kill -TERM "$engine_pid" 2>/dev/null
else
    say "console: shutdown"
    console shutdown
fi
if wait_for 20 bash -c "! kill -0 $engine_pid"; then
    wait "$engine_pid" 2>/dev/null
    echo "  the engine exited with status $?"
else
    fail "the engine did not exit after shutdown"
fi
engine_pid=""
tail -n 4 "$work/route.log" | sed 's/^/  route.log: /'

say "ip route on the user's machine, after shutdown"
in_user ip route
in_user ip -4 route show table all >"$work/routes.after"
if diff -u "$work/routes.before" "$work/routes.after"; then
    echo "  every table equals what it was before the engine started"
else
    fail "the routes after shutdown differ from those before"
fi
# Ctrl-C stops the reference server too.
if [ "$check" = 1 ] && ! kill -0 "$ref_pid" 2>/dev/null; then fail "the reference server died"; fi

say "result"
if [ $failed = 0 ]; then
    echo "tunnel demo passed"
    exit 0
fi
echo "tunnel demo FAILED"
exit 1
