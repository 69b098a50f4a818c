#!/usr/bin/env bash
# Executions per second of the engine's network fuzz targets, for comparing
# two builds of them on one machine:
#   bench/fuzz_speed.sh [BUILD_DIR ...]     (default: build-fuzz)
#   FUZZ_SPEED_SECONDS  time per target (default 30)
#   FUZZ_SPEED_TARGETS  which targets (default: the five network ones)
#   FUZZ_SPEED_REPLAYS  runs of each input in the replay (default 50: fewer
#                       leave the sanitizer's allocator warming up, faulting
#                       in fresh pages for most allocations, which weighs the
#                       same in every build and hides a difference)
# Two figures per target and build:
# - fuzzing: libFuzzer's own exec/s, the target fuzzing alone from a fresh
#   copy of its seeds with a fixed random seed and the options of
#   tests/fuzz/run_fuzz.sh. A faster build gets further in the same time, to
#   larger inputs, so this understates a gain.
# - replay: the corpus the first build grew, every input run the same number
#   of times by each build; the same work for all, timed by the wall clock.
# With several build folders each target runs in one after the other, so
# that the figures of a pair are taken under the same load. The load
# average is printed around each run: other work on the machine skews them.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
seconds=${FUZZ_SPEED_SECONDS:-30}
replays=${FUZZ_SPEED_REPLAYS:-50}
targets=(${FUZZ_SPEED_TARGETS:-datagram commands inflate handshake console})
builds=()
for b in "${@:-$root/build-fuzz}"; do
    builds+=("$(cd "$b" && pwd)") || exit 2
done

options() {
    case $1 in
    datagram) echo "-max_len=8192" ;;
    commands | inflate) echo "-max_len=16384" ;;
    handshake) echo "-max_len=4096" ;;
    console) echo "-max_len=2048 -dict=$root/tests/fuzz/console.dict" ;;
    esac
}

load() { cut -d' ' -f1 /proc/loadavg; }
name() { echo "$(basename "$(dirname "$1")")/$(basename "$1")"; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quorin-fuzz-speed.XXXXXX")
trap 'rm -rf "$work"' EXIT
printf '%-10s %-36s %9s %8s %9s %12s\n' target build fuzzing runs replay load
for t in "${targets[@]}"; do
    for b in "${builds[@]}"; do
        [ -x "$b/bin/fuzz_$t" ] || { echo "$b/bin/fuzz_$t: not built (tests/fuzz/run_fuzz.sh --build-only)" >&2; exit 2; }
    done
    grown=$work/grown-$t
    for b in "${builds[@]}"; do
        bin=$b/bin/fuzz_$t
        corpus=$work/corpus
        rm -rf "$corpus" && mkdir -p "$corpus"
        cp "$root/tests/fuzz/corpus/$t"/* "$corpus/"
        before=$(load)
        # shellcheck disable=SC2046
        "$bin" "$corpus" $(options "$t") -seed=1 -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$work/" >"$work/log" 2>&1
        rate=$(awk '/stat::average_exec_per_sec/ {print $2}' "$work/log")
        runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$work/log")
        [ -d "$grown" ] || mv "$corpus" "$grown"
        # Less the start of the program, timed on one empty input.
        files=("$grown"/*)
        : >"$work/empty"
        start=$(date +%s.%N)
        "$bin" -runs=1 "$work/empty" >/dev/null 2>&1
        started=$(date +%s.%N)
        "$bin" -runs="$replays" -rss_limit_mb=2048 "${files[@]}" >/dev/null 2>&1
        end=$(date +%s.%N)
        replay=$(echo "${#files[@]} * $replays / ($end - $started - ($started - $start))" | bc -l)
        printf '%-10s %-36s %9s %8s %9.0f %12s\n' "$t" "$(name "$b")" "${rate:-?}" "${runs:-?}" "$replay" \
            "$before-$(load)"
    done
done
