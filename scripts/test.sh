#!/usr/bin/env bash
# Sets up what is missing, then builds and runs every test twice: a normal
# build and one under AddressSanitizer and UndefinedBehaviorSanitizer.
# Exits non-zero on any failure. A test that skips (a tool missing, no root)
# is counted and named with its reason; with CI set, any skip fails the run,
# so that lost coverage never passes for green.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh tests

jobs=$(nproc)
passed=0
skips=()  # "build: test: reason", one a skipped test
# Why a test skipped, from its output in ctest's log: the line after
# GoogleTest's "...: Skipped", or else the last line a script printed.
skip_reason() {
    awk -v name="$2" '
        /^[0-9]+\/[0-9]+ Testing: / { mine = ($NF == name); output = 0; next }
        mine && /^<end of output>$/ { mine = 0; next }
        mine && !output && /^Output:$/ { output = 1; getline; next }
        mine && output {
            if (reason_next) { reason = $0; reason_next = 0 }
            if ($0 ~ /: Skipped$/) reason_next = 1
            else if (NF) last = $0
        }
        END { print (reason != "" ? reason : last) }' "$1"
}
run_suite() {
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    local out=$dir/ctest-output.txt
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 | tee "$out"
    # Reached only when no test failed (set -e, pipefail). ctest lists the
    # skipped ones at its end.
    local name skipped=0
    while read -r name; do
        skipped=$((skipped + 1))
        skips+=("$dir: $name: $(skip_reason "$dir/Testing/Temporary/LastTest.log" "$name")")
    done < <(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$out")
    passed=$((passed + $(ctest --test-dir "$dir" -N | sed -n 's/^Total Tests: //p') - skipped))
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
if [ ${#skips[@]} -gt 0 ]; then
    echo "skipped:"
    printf '  %s\n' "${skips[@]}"
fi
if [ -n "${CI:-}" ] && [ ${#skips[@]} -gt 0 ]; then
    echo "CI is set: a skipped test fails the run (scripts/setup.sh tests installs the tools;"
    echo "the tests need root for their private mount namespaces)"
    echo "tests: $passed passed, ${#skips[@]} failed"
    exit 1
fi
echo "tests: $passed passed, 0 failed, ${#skips[@]} skipped"
