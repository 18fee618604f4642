#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench) and runs them all: time and
# instructions per status reply, the cost of one poll, start-up to the
# supply's output on, and memory and CPU over one simulated hour. Prints one
# table: figure, value, floor, ratio. Raw results stay in
# build-bench/bench-results. Takes a few minutes.
#
# Needs root for two things, and says so when it cannot have them: a stand-in
# system logger at /dev/log when the machine has none, and a private network
# namespace, so that the start-up probe can serve the supply's fixed port 2001
# without meeting anything else that uses it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh bench

build=build-bench
out=$build/bench-results
cmake -S . -B "$build" -G Ninja -DZOR_BUILD_BENCH=ON -DZOR_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
rm -rf "$out"
mkdir -p "$out/callgrind"
bin=$(cd "$build" && pwd)
results=$(cd "$out" && pwd)
kv=$results/figures.txt
: >"$kv"

# The median rows of Google Benchmark's CSV as "name.column=value" lines; the
# name loses its run options ("/min_time:...", "/real_time", ...).
csv_to_kv() {
    awk -F, '
        /^name,/ { for (i = 1; i <= NF; i++) { h = $i; gsub(/"/, "", h); col[i] = h }; on = 1; next }
        on && $1 ~ /_median"$/ {
            name = $1; gsub(/"/, "", name); sub(/_median$/, "", name)
            sub(/\/(min_time|iterations|real_time|manual_time).*/, "", name)
            for (i = 2; i <= NF; i++) if ($i != "") print name "." col[i] "=" $i
        }' "$1"
}

# Each benchmark runs three times; the table takes the medians, as the
# machine may be busy with other work.
repeat=(--benchmark_repetitions=3 --benchmark_report_aggregates_only=true)

# The data logs of the benchmarks go to the results folder: the disk a working
# folder would be on.
cd "$results"
echo "== status reply and reports (time per reply)" >&2
"$bin/bench/zor_bench" --benchmark_filter='^BM_(Decode|Console|DataLog|SystemLog|WholeReply)' \
    --benchmark_min_time=0.2 "${repeat[@]}" --benchmark_out=replies.csv --benchmark_out_format=csv \
    >replies.txt 2>&1
csv_to_kv replies.csv >>"$kv"

echo "== one poll against the simulated bench" >&2
"$bin/bench/zor_bench" --benchmark_filter='^BM_Poll' "${repeat[@]}" \
    --benchmark_out=poll.csv --benchmark_out_format=csv >poll.txt 2>&1
csv_to_kv poll.csv >>"$kv"

echo "== instructions per reply (callgrind)" >&2
if command -v valgrind >/dev/null; then
    small=100 large=1100
    for mode in decode console datalog syslog reply; do
        for n in $small $large; do
            (cd callgrind && "$bin/bench/zor_bench_log_sink" valgrind --tool=callgrind \
                --callgrind-out-file="cg.$mode.$n" "$bin/bench/zor_bench_replies" "$mode" "$n" \
                >"$mode.$n.txt" 2>&1)
        done
        a=$(awk '/^totals:/ {print $2}' "callgrind/cg.$mode.$small")
        b=$(awk '/^totals:/ {print $2}' "callgrind/cg.$mode.$large")
        echo "instructions.$mode=$(((b - a) / (large - small)))" >>"$kv"
    done
else
    echo "valgrind is not installed: no instruction counts" >&2
fi

echo "== start-up of the charger binary" >&2
"$bin/bench/zor_bench_startup" "$bin/zor_charger/zor_charger" \
    "$bin/bench/zor_bench_first_send" 15 >startup.txt || echo "start-up probe failed" >&2
sed 's/^/startup./' startup.txt >>"$kv"

echo "== one simulated hour (720 polls)" >&2
"$bin/bench/zor_bench_hour" 720 >hour.txt || echo "simulated hour failed" >&2
sed 's/^/hour./' hour.txt >>"$kv"

# The table. Times from the benchmarks are in ns (replies) and ms (polls);
# the poll's counters are in microseconds; the probes report seconds and kB.
awk -F= '
    { v[$1] = $2 }
    function has(k) { return (k in v) }
    function row(figure, value, floor, unit, scale,    r) {
        if (value == "") { printf "%-58s %14s %14s %7s\n", figure, "n/a", "", ""; return }
        if (floor == "" || floor == 0) {
            printf "%-58s %14s %14s %7s\n", figure, sprintf("%.*f %s", scale, value, unit), "-", "-"
            return
        }
        printf "%-58s %14s %14s %7.2f\n", figure, sprintf("%.*f %s", scale, value, unit),
               sprintf("%.*f %s", scale, floor, unit), value / floor
    }
    function t(name) { return has(name ".real_time") ? v[name ".real_time"] : "" }
    END {
        printf "%-58s %14s %14s %7s\n", "figure", "value", "floor", "ratio"
        printf "%-58s %14s %14s %7s\n", "------", "-----", "-----", "-----"
        row("status reply scan (decodeStatusReply)", t("BM_DecodeStatusReply") / 1000,
            t("BM_DecodeFloor") / 1000, "us", 3)
        row("console report, line-buffered to a file", t("BM_ConsoleReport") / 1000,
            t("BM_ConsoleReportFloor") / 1000, "us", 1)
        row("data log line, flushed + fsync on disk", t("BM_DataLogLine") / 1000,
            t("BM_DataLogLineNoSync") / 1000, "us", 1)
        row("system log, two messages", t("BM_SystemLog") / 1000,
            t("BM_SystemLogFloor") / 1000, "us", 1)
        floors = (t("BM_DecodeFloor") + t("BM_ConsoleReportFloor") + t("BM_DataLogLineNoSync") \
                  + t("BM_SystemLogFloor")) / 1000
        row("whole reply: scan + three reports", t("BM_WholeReply") / 1000, floors, "us", 1)
        row("instructions per reply: scan", v["instructions.decode"], "", "", 0)
        row("instructions per reply: console report", v["instructions.console"], "", "", 0)
        row("instructions per reply: data log line", v["instructions.datalog"], "", "", 0)
        row("instructions per reply: system log", v["instructions.syslog"], "", "", 0)
        row("instructions per reply: whole reply", v["instructions.reply"], "", "", 0)
        for (disk = 1; disk >= 0; disk--) {
            p = "BM_Poll/200/" disk
            where = disk ? "data log on disk" : "data log in memory"
            answer = v[p ".answer_us"] / 1000
            # Floor: two 10 ms pauses, the 100 ms quiet gap that ends a receive, the answer.
            row("one poll, no 5 s sleep (" where ")", t(p), 20 + 100 + answer, "ms", 2)
            row("  own time of the charger beyond pauses + gap + answer", v[p ".own_us"], "", "us", 0)
            row("  the same beyond the pauses as slept + gap + answer", v[p ".own_slept_us"], "", "us", 0)
            row("  CPU time of the charger per poll", v[p ".cpu_us"], "", "us", 0)
        }
        row("  10 ms pause as the system sleeps it", v["BM_Poll/200/0.pause_us"] / 1000, 10, "ms", 3)
        row("  instrument answer (sim, loopback)", v["BM_Poll/200/0.answer_us"], "", "us", 0)
        if (has("startup.startup_median")) {
            row("start-up: process start to OUT 1 at the supply", v["startup.startup_median"] * 1000,
                40, "ms", 1)
            row("  process start to first command (bare program)",
                v["startup.first_command_median"] * 1000, v["startup.process_floor_median"] * 1000,
                "ms", 1)
            row("  first command to OUT 1 (four 10 ms pauses)",
                v["startup.first_to_output_on_median"] * 1000, 40, "ms", 1)
        } else {
            row("start-up: process start to OUT 1 at the supply", "", "", "", 0)
        }
        row("simulated hour: peak RSS (VmHWM; floor: RSS at start)", v["hour.hwm_kb"],
            v["hour.rss_start_kb"], "kB", 0)
        row("simulated hour: RSS at end (VmRSS)", v["hour.rss_end_kb"], v["hour.rss_start_kb"], "kB", 0)
        row("simulated hour: CPU time, user + system", v["hour.user_seconds"] + v["hour.system_seconds"],
            "", "s", 3)
        row("simulated hour: wall time of 720 polls", v["hour.wall_seconds"], 720 * 0.020, "s", 1)
    }' "$kv"
