#!/usr/bin/env bash
# Installs what building, testing and running the charger need, from Debian's
# packages, skipping what is already there. Safe to run again.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
          clang libclang-rt-14-dev gnuplot-nox ser2net socat systemd procps valgrind
          man-db pkg-config libseccomp-dev dnsmasq-base prometheus prometheus-node-exporter
          python3-prometheus-client)
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
if [[ " ${missing[*]} " == *" ser2net "* ]]; then
    $sudo systemctl disable --now ser2net 2>/dev/null ||
        $sudo service ser2net stop 2>/dev/null || true
fi

# Prometheus (for promtool) and the node exporter start services of their own
# where the package manager can: the tests run the exporter themselves, on a
# loopback port of their own, and need neither.
for service in prometheus prometheus-node-exporter; do
    if [[ " ${missing[*]} " == *" $service "* ]]; then
        $sudo systemctl disable --now "$service" 2>/dev/null ||
            $sudo service "$service" stop 2>/dev/null || true
    fi
done
