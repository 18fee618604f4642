#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what lands where.
set -u
build=$1
prefix=$(mktemp -d /tmp/zor_install_XXXXXX)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null || { echo "cmake --install failed"; exit 1; }

status=0
expect() {
    if [ ! -e "$prefix/$1" ]; then echo "missing: $1"; status=1; fi
}
for program in zor_charger zor_sim zor_plot zor_supply zor_battery; do
    expect "bin/$program"
    [ -x "$prefix/bin/$program" ] || { echo "not executable: bin/$program"; status=1; }
done
expect share/man/man1/zor_charger.1
expect lib/systemd/system/zor_charger.service
expect lib/systemd/system/zor_charger.rules.yml
if command -v promtool >/dev/null; then
    promtool check rules "$prefix/lib/systemd/system/zor_charger.rules.yml" >/dev/null 2>&1 \
        || { echo "promtool check rules fails on the alerting rules"; status=1; }
fi

unit="$prefix/lib/systemd/system/zor_charger.service"
grep -q "^ExecStart=/usr/local/bin/zor_charger$\|^ExecStart=.*/bin/zor_charger$" "$unit" \
    || { echo "unit does not start the installed program"; status=1; }

if command -v man >/dev/null; then
    warnings=$(MANWIDTH=80 man -l "$prefix/share/man/man1/zor_charger.1" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "man page warnings: $warnings"; status=1; }
fi
[ $status -eq 0 ] && echo "install layout complete"
exit $status
