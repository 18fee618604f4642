#!/usr/bin/env bash
# Passes when systemd-analyze verify has nothing to say about the unit.
# Usage: verify_unit.sh UNIT MANPAGE
set -u
unit=$1
manpage=$2
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
echo "unit verifies"
