#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time.
#   --build-only   build them and stop (what `./run test` does)
#   FUZZ_SECONDS   time per target (default 60)
#   FUZZ_JOBS      targets run at once (default 4)
#   FUZZ_TARGETS   which targets (default: all twelve)
#   FUZZ_BUILD_DIR build directory (default <repo>/build-fuzz)
# Seeds are copied into a scratch corpus per target; nothing is written
# into the repository. Exits non-zero when a target crashed, leaked, timed
# out or ran out of memory, and prints the reproducer's path.
# Installs nothing: `./run fuzz` installs clang and libclang-rt-14-dev first.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-4}
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
targets=(${FUZZ_TARGETS:-datagram commands inflate config handshake console statline mpe tun_packet tsdemux http_answer route})
build_only=0
[ "${1:-}" = --build-only ] && build_only=1

command -v clang++ >/dev/null || { echo "clang++ not found (./run fuzz installs it)" >&2; exit 2; }

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DQUORIN_FUZZ=ON -DQUORIN_SANITIZE=ON \
    -DQUORIN_WERROR=ON >/dev/null || exit 2
ninja -C "$build" -j"$(nproc)" $(printf 'fuzz_%s ' "${targets[@]}") || exit 2
[ "$build_only" = 1 ] && exit 0

work=$(mktemp -d "${TMPDIR:-/tmp}/quorin-fuzz.XXXXXX")
echo "== fuzzing ${targets[*]} for ${seconds}s each, $jobs at a time; work in $work"

# Per target: longest input and dictionary.
options() {
    case $1 in
    datagram) echo "-max_len=8192" ;;
    commands) echo "-max_len=16384" ;;
    inflate) echo "-max_len=16384" ;;
    config) echo "-max_len=4096 -dict=$here/config.dict" ;;
    handshake) echo "-max_len=4096" ;;
    console) echo "-max_len=2048 -dict=$here/console.dict" ;;
    statline) echo "-max_len=4096" ;;
    mpe) echo "-max_len=8192" ;;
    tun_packet) echo "-max_len=8192" ;;
    tsdemux) echo "-max_len=8192" ;;
    http_answer) echo "-max_len=20000" ;;
    route) echo "-max_len=8192" ;;
    esac
}

run_one() {
    local t=$1 dir=$work/$1
    mkdir -p "$dir/corpus" "$dir/artifacts"
    [ -d "$here/corpus/$t" ] && cp "$here/corpus/$t"/* "$dir/corpus/" 2>/dev/null
    # shellcheck disable=SC2046
    "$build/bin/fuzz_$t" "$dir/corpus" $(options "$t") -max_total_time="$seconds" -timeout=20 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/artifacts/" >"$dir/log" 2>&1
    echo $? >"$dir/rc"
}

running=0
for t in "${targets[@]}"; do
    run_one "$t" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n
        running=$((running - 1))
    fi
done
wait

failed=0
for t in "${targets[@]}"; do
    dir=$work/$t
    rc=$(cat "$dir/rc" 2>/dev/null || echo 99)
    last=$(grep -E '^#[0-9]+' "$dir/log" | tail -1)
    printf '%-10s rc=%s  %s\n' "$t" "$rc" "$last"
    found=$(find "$dir/artifacts" -type f 2>/dev/null)
    if [ "$rc" != 0 ] || [ -n "$found" ]; then
        failed=1
        echo "   log: $dir/log"
        for f in $found; do echo "   reproducer: $f"; done
        grep -m3 -E 'ERROR: |SUMMARY: |fuzz target exited|deadly signal' "$dir/log" | sed 's/^/   /'
    fi
done
if [ "$failed" != 0 ]; then
    echo "fuzzing found a problem (work dir kept: $work)"
    exit 1
fi
echo "fuzzing: no crash"
rm -rf "$work"
