#!/usr/bin/env bash
# The whole suite once more, built with AddressSanitizer and
# UndefinedBehaviorSanitizer in a second build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-asan
cmake -S . -B "$dir" -G Ninja -DQUORIN_SANITIZE=ON -DQUORIN_WERROR=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$dir" -j"$(nproc)"
# Leak reports are off: fatal paths end the process with exit() by design,
# and a leak report would change the exit status the tests check.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The largest transfers are covered by the plain build; under the sanitizers
# they only cost time.
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" --timeout 900 -E 'Large|Bench' "$@"
