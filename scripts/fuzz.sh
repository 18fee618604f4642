#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs them side by
# side for a bounded time, each from a copy of its seed corpus in fuzz/corpus/,
# so the seeds in the repository are never changed. FUZZ_SECONDS sets the time
# per target (default 60). Exits non-zero when a target finds a fault; the
# input that caused it is kept under build-fuzz/findings/<target>/. The last
# line counts the targets that ran their time without a finding.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
dir=build-fuzz
# target name, seed folder, longest input tried
targets=(
    "fuzz_status_reply status_reply 256"
    "fuzz_endpoint_name endpoint_name 128"
    "fuzz_xfr_reply xfr_reply 64"
)

cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DZOR_FUZZ=ON -DZOR_BUILD_TESTS=OFF >/dev/null
names=()
for t in "${targets[@]}"; do
    read -r name _ _ <<<"$t"
    names+=("$name")
done
cmake --build "$dir" -j "$(nproc)" --target "${names[@]}"

# The targets run side by side. With more targets than cores each runs that
# much longer, so that each still has about its seconds of a core to itself.
jobs=$(nproc)
wall=$(( seconds * (${#targets[@]} > jobs ? ${#targets[@]} : jobs) / jobs ))
pids=()
for t in "${targets[@]}"; do
    read -r name seeds maxlen <<<"$t"
    corpus=$dir/corpus/$seeds
    findings=$dir/findings/$name
    rm -rf "$corpus" "$findings"
    mkdir -p "$corpus" "$findings"
    cp fuzz/corpus/"$seeds"/* "$corpus"/
    echo "== $name: ${wall}s from $(ls "$corpus" | wc -l) seeds =="
    "$dir/fuzz/$name" -max_total_time="$wall" -max_len="$maxlen" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" >"$dir/$name.log" 2>&1 &
    pids+=($!)
done

failed=0
clean=0
for i in "${!targets[@]}"; do
    read -r name seeds _ <<<"${targets[$i]}"
    log=$dir/$name.log
    if wait "${pids[$i]}"; then
        echo "== $name =="
        grep -E '^#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss' "$log" || true
        echo "corpus: $(ls "$dir/corpus/$seeds" | wc -l) inputs"
        clean=$((clean + 1))
    else
        failed=1
        tail -n 60 "$log"
        echo "$name FOUND A FAULT: inputs in $dir/findings/$name, log in $log"
    fi
done
echo "fuzz targets: $clean of ${#targets[@]} without a finding"
exit "$failed"
