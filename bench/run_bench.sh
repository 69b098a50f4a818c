#!/usr/bin/env bash
# ./run bench [bulk|link|latency|scale ...]; BENCH_REPEATS=N, BENCH_QUICK=1
set -euo pipefail
bin=${1:?bin dir}; shift
exec python3 "$(dirname "$0")/run_bench.py" "$bin" "$@"
