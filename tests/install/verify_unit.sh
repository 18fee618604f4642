#!/usr/bin/env bash
# Passes when systemd-analyze verify has nothing to say about the unit and
# its sandbox rates an exposure of 2.0 or lower.
# Usage: verify_unit.sh UNIT MANPAGE INSTALLED_UNIT
# UNIT names the built program, so that verify finds it; INSTALLED_UNIT is
# the same unit as installed, whose sandbox is rated.
set -u
unit=$1
manpage=$2
installed=$3
if ! command -v systemd-analyze >/dev/null; then
    echo "systemd-analyze is not installed"; exit 77
fi
# verify also checks that the unit's Documentation= page can be found.
mandir=$(mktemp -d /tmp/zor_man_XXXXXX)
trap 'rm -rf "$mandir"' EXIT
mkdir -p "$mandir/man1" && cp "$manpage" "$mandir/man1/"
out=$(MANPATH="$mandir" systemd-analyze verify "$unit" 2>&1)
rc=$?
if [ $rc -ne 0 ] || [ -n "$out" ]; then
    echo "systemd-analyze verify $unit (exit $rc):"; echo "$out"; exit 1
fi
grep -q '^ExecStart=/' "$unit" || { echo "ExecStart is not an absolute path"; exit 1; }
grep -q '^Restart=on-failure' "$unit" || { echo "the unit does not restart on failure"; exit 1; }
# security prints its table and exits non-zero above the threshold, given in
# tenths: 20 is an exposure of 2.0.
out=$(systemd-analyze security --offline=yes --threshold=20 "$installed" 2>&1)
rc=$?
if [ $rc -ne 0 ]; then
    echo "systemd-analyze security $installed (exit $rc), above 2.0:"; echo "$out"; exit 1
fi
echo "unit verifies; ${out##*$'\n'}"
