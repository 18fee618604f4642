#!/usr/bin/env bash
# Installs from Debian's packages what a job needs, skipping what is already
# there; quiet when nothing is missing and safe to run again.
#   bash scripts/setup.sh          build the charger and run a charge
#   bash scripts/setup.sh tests    and build and pass the tests and fuzzers
#   bash scripts/setup.sh bench    and build and run the benchmarks
# A charge needs only the compiler, CMake, Ninja and gnuplot (for zor_plot);
# the test and bench tools (monitoring, name server, serial server, valgrind)
# are large and are installed only for the jobs that use them.
set -euo pipefail

packages=(cmake ninja-build g++ gnuplot-nox)
for job in "$@"; do
    case $job in
        tests)
            # GoogleTest; clang and its sanitizer runtime for the fuzzers;
            # ser2net and dnsmasq in front of the simulated bench; the unit's
            # checks (systemd-analyze, man, the system-call filter); the
            # monitoring tools for the metrics file and the alerting rules.
            packages+=(libgtest-dev libgmock-dev clang libclang-rt-14-dev ser2net dnsmasq-base
                       systemd man-db pkg-config libseccomp-dev prometheus
                       prometheus-node-exporter python3-prometheus-client) ;;
        bench)
            packages+=(libbenchmark-dev valgrind) ;;
        *)
            echo "setup: unknown job '$job' (tests or bench)" >&2
            exit 2 ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"

# Debian's ser2net comes with an example configuration whose connections
# listen on localhost ports 2000-2003 and 3000-3003, the supply's 2001 among
# them. Where the package manager started that service, stop it: the tests
# and the bench run ser2net themselves, with their own configuration.
# Prometheus (for promtool) and the node exporter start services of their own
# as well: the tests run the exporter themselves, on a loopback port of their
# own, and need neither.
for service in ser2net prometheus prometheus-node-exporter; do
    if [[ " ${missing[*]} " == *" $service "* ]]; then
        $sudo systemctl disable --now "$service" 2>/dev/null ||
            $sudo service "$service" stop 2>/dev/null || true
    fi
done
