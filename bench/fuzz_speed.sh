#!/usr/bin/env bash
# Executions per second of the engine's network fuzz targets, for comparing
# two builds of them on one machine:
#   bench/fuzz_speed.sh [BUILD_DIR ...]     (default: build-fuzz)
#   FUZZ_SPEED_SECONDS  time per target (default 30)
#   FUZZ_SPEED_TARGETS  which targets (default: the five network ones)
# Each target runs alone, from a fresh copy of its seeds, with a fixed
# random seed and the options of tests/fuzz/run_fuzz.sh. With several build
# folders each target runs in one after the other, so that the figures of a
# pair are taken under the same load. The load average is printed around
# each run: other work on the machine skews the figures.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
seconds=${FUZZ_SPEED_SECONDS:-30}
targets=(${FUZZ_SPEED_TARGETS:-datagram commands inflate handshake console})
builds=("$@")
[ ${#builds[@]} -eq 0 ] && builds=("$root/build-fuzz")

options() {
    case $1 in
    datagram) echo "-max_len=8192" ;;
    commands | inflate) echo "-max_len=16384" ;;
    handshake) echo "-max_len=4096" ;;
    console) echo "-max_len=2048 -dict=$root/tests/fuzz/console.dict" ;;
    esac
}

load() { cut -d' ' -f1 /proc/loadavg; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quorin-fuzz-speed.XXXXXX")
trap 'rm -rf "$work"' EXIT
printf '%-10s %-40s %10s %8s %12s\n' target build exec/s runs load
for t in "${targets[@]}"; do
    for b in "${builds[@]}"; do
        b=$(cd "$b" && pwd) || exit 2
        bin=$b/bin/fuzz_$t
        [ -x "$bin" ] || { echo "$bin: not built (tests/fuzz/run_fuzz.sh --build-only)" >&2; exit 2; }
        rm -rf "$work/corpus" && mkdir -p "$work/corpus"
        cp "$root/tests/fuzz/corpus/$t"/* "$work/corpus/"
        before=$(load)
        # shellcheck disable=SC2046
        "$bin" "$work/corpus" $(options "$t") -seed=1 -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$work/" >"$work/log" 2>&1
        rate=$(awk '/stat::average_exec_per_sec/ {print $2}' "$work/log")
        runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$work/log")
        printf '%-10s %-40s %10s %8s %12s\n' "$t" "$(basename "$(dirname "$b")")/$(basename "$b")" \
            "${rate:-?}" "${runs:-?}" "$before-$(load)"
    done
done
