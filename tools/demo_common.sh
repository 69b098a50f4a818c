# shellcheck shell=bash disable=SC2154  # failed, work, pids and engine_pid belong to the demo that sources this
# Shared by the demo scripts (sourced): headings, failures, and a client of
# the engine's console.

say() { printf '\n== %s\n' "$*"; }

fail() {
    echo "FAIL: $*" >&2
    failed=1
}

# The engine (engine_pid) first, through its console: it resets its
# sessions with the server (and restores what it changed) before it exits;
# after 3 s it is killed.
stop_engine() {
    [ -n "$engine_pid" ] && kill -0 "$engine_pid" 2>/dev/null || return 0
    console shutdown >/dev/null 2>&1
    for _ in $(seq 30); do
        kill -0 "$engine_pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL "$engine_pid" 2>/dev/null
}

# Stops every process in pids, the last started first; what is still
# running after 3 s is killed.
stop_programs() {
    local i p alive
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill -TERM "${pids[$i]}" 2>/dev/null
    done
    for _ in $(seq 30); do
        alive=0
        for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null && alive=1; done
        [ "$alive" = 0 ] && break
        sleep 0.1
    done
    for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done
    wait 2>/dev/null
}

# The scratch directory goes, unless something failed.
finish_work() {
    if [ "$failed" = 0 ]; then
        rm -rf "$work"
    else
        echo "demo: logs kept in $work" >&2
    fi
}

# console_send PORT COMMAND: one console command on 127.0.0.1:PORT; prints
# the reply (prompts removed). "shutdown" gets no reply. The client runs
# behind the words in console_prefix (for instance "ip netns exec NS"), so
# that it can reach a console in another network namespace.
console_prefix=()
console_send() {
    "${console_prefix[@]}" python3 - "$1" "$2" <<'EOF'
import socket, sys, time
port, cmd = int(sys.argv[1]), sys.argv[2]
prompt = b"Quorin>"
deadline = time.time() + 5

def until_prompt(s):
    buf = b""
    while prompt not in buf and time.time() < deadline:
        chunk = s.recv(4096)
        if not chunk:
            break
        buf += chunk
    return buf

try:
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    until_prompt(s)
    s.sendall(cmd.encode() + b"\n")
    if cmd == "shutdown":
        sys.exit(0)
    buf = until_prompt(s)
    s.close()
except OSError as e:
    print("console: %s" % e, file=sys.stderr)
    sys.exit(1)
sys.stdout.write(buf.replace(prompt, b"").decode("latin-1"))
EOF
}
