#!/usr/bin/env bash
# Sets up what is missing, then builds and runs every test twice: a normal
# build and one under AddressSanitizer and UndefinedBehaviorSanitizer.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh tests

jobs=$(nproc)
passed=0
run_suite() {
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
    # Reached only when every test passed (set -e).
    passed=$((passed + $(ctest --test-dir "$dir" -N | sed -n 's/^Total Tests: //p')))
}

echo "== normal build =="
run_suite build
echo "== sanitized build (address, undefined) =="
# Debug: the tests take as long as at the default build type, but the
# unoptimised sanitized build compiles in about a quarter of the time.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite build-sanitize -DZOR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
echo "== fuzzing =="
# Each target for FUZZ_SECONDS (default 60) from its seed corpus.
fuzz_log=$(mktemp)
trap 'rm -f "$fuzz_log"' EXIT
bash scripts/fuzz.sh | tee "$fuzz_log"
# Reached only when no target found a fault (pipefail): each that ran passed.
fuzzed=$(sed -n 's/^fuzz targets: \([0-9]*\) of .*/\1/p' "$fuzz_log")
passed=$((passed + ${fuzzed:?scripts/fuzz.sh did not say how many targets ran}))

echo "== all stages done =="
echo "tests: $passed passed, 0 failed"
