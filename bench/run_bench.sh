#!/usr/bin/env bash
# ./run bench [bulk|link|upload|latency|lossy|scale|cpu ...]; BENCH_REPEATS=N, BENCH_QUICK=1
set -euo pipefail
bin=${1:?bin dir}; shift
exec python3 "$(dirname "$0")/run_bench.py" "$bin" "$@"
