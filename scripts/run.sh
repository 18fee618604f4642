#!/usr/bin/env bash
# Runs one charge end to end on the simulated bench: installs what is missing
# (the compiler, CMake, Ninja, gnuplot), builds the charger and the simulator
# in build-run with the tests off, starts zor_sim on the charger's
# default endpoints, runs the real zor_charger in a fresh folder under run/
# until the battery has been told to switch off, stops both, prints a summary
# and draws the plot. Everything it starts is stopped on any exit.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

speed=60           # simulated seconds per real second: a full charge in ~20 polls
run_limit=240      # seconds the charge may take before the run gives up
supply_port=2001   # the charger's built-in endpoints
battery_port=10001

bash scripts/setup.sh

# A folder of its own, with the tests off: a charge needs no test tools, and
# the test command's build/ is never reconfigured by it. The endpoints are
# fixed when the charger is built: this folder keeps the defaults.
build=build-run
echo "== building zor_charger and zor_sim in $build =="
build_start=$SECONDS
cmake -S . -B "$build" -G Ninja -DZOR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target zor_charger zor_sim
echo "build took $((SECONDS - build_start)) s"
build=$(cd "$build" && pwd)

run_dir="$root/run/$(date +%Y%m%d-%H%M%S)"
mkdir -p "$run_dir"
sim_pid=""
charger_pid=""

stop() {  # stop PID: TERM, a bounded wait, then KILL
    local pid=$1
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
cleanup() {
    stop "$charger_pid"
    stop "$sim_pid"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Replies leave at the pace of the instruments' real 9600-baud lines.
echo "== starting zor_sim (speed x$speed, 9600-baud lines) =="
# ZOR_SIM_OPTIONS adds zor_sim's own, an event to rehearse for one:
# ZOR_SIM_OPTIONS="--supply-restart-at 30" bash scripts/run.sh
read -r -a sim_options <<<"${ZOR_SIM_OPTIONS:-}"
"$build/sim/zor_sim" --speed "$speed" --line-rate 9600 --supply-port $supply_port \
    --battery-port $battery_port --log "$run_dir/sim.log" "${sim_options[@]}" \
    >"$run_dir/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
    grep -q '^zor_sim ready:' "$run_dir/sim.out" && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
if ! grep -q '^zor_sim ready:' "$run_dir/sim.out"; then
    echo "run: zor_sim did not start:" >&2
    cat "$run_dir/sim.out" >&2
    exit 1
fi
grep '^zor_sim ready:' "$run_dir/sim.out"

echo "== running zor_charger in $run_dir =="
run_start=$SECONDS
(cd "$run_dir" && exec "$build/zor_charger/zor_charger" >charger.out 2>charger.err) &
charger_pid=$!

shown=0
datalog=""
while :; do
    if ! kill -0 "$charger_pid" 2>/dev/null; then
        echo "run: zor_charger stopped on its own:" >&2
        tail -n 5 "$run_dir/charger.err" >&2
        exit 1
    fi
    if [ $((SECONDS - run_start)) -ge $run_limit ]; then
        echo "run: no end of charge within $run_limit s" >&2
        exit 1
    fi
    [ -n "$datalog" ] || datalog=$(ls "$run_dir"/*zor.log 2>/dev/null | head -n1 || true)
    if [ -n "$datalog" ]; then
        # One line per accepted poll as the charger logs it.
        while IFS=, read -r t gauge current rh balance _; do
            shown=$((shown + 1))
            printf '  poll %2d  +%3d s  gas gauge %6s %%  current %6s A  balance %2s\n' \
                "$shown" $((SECONDS - run_start)) "$gauge" "$current" "${balance// /}"
        done < <(tail -n +$((shown + 1)) "$datalog")
    fi
    if grep -q '"@AF\\n"' "$run_dir/sim.log"; then
        break
    fi
    sleep 1
done
# The charger sends the current after telling the battery off; let it arrive.
for _ in $(seq 30); do
    [ "$(sed -n '/"@AF\\n"/,$p' "$run_dir/sim.log" | grep -c 'ISET')" -gt 0 ] && break
    sleep 0.1
done
run_time=$((SECONDS - run_start))
stop "$charger_pid"
charger_pid=""
stop "$sim_pid"
sim_pid=""

accepted=$(grep -c . "$datalog" || true)
requests=$(grep -c '"@RQ\\n"' "$run_dir/sim.log" || true)
echo
echo "== summary =="
echo "run folder:      $run_dir"
echo "data log:        $datalog"
echo "charger output:  $run_dir/charger.out"
echo "bench record:    $run_dir/sim.log"
echo "polls accepted:  $accepted of $requests status requests"
echo "charge run time: $run_time s (until the battery was told to switch off)"
echo "stage changes and holes with no reply (minutes:seconds since the first accepted poll):"
plot="${datalog%.log}.png"
"$root/tools/zor_plot" "$datalog" "$plot" | sed 's/^/  /'
