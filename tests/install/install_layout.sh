#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what lands where, and
# that the installed alerting rules load and pass their cases. A checker that
# is missing makes it a skip (exit 77) that names it, once all else passed.
set -u
build=$1
rule_cases=$2
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
missing=()
if command -v promtool >/dev/null; then
    rules="$prefix/lib/systemd/system/zor_charger.rules.yml"
    promtool check rules "$rules" >/dev/null 2>&1 \
        || { echo "promtool check rules fails on the alerting rules"; status=1; }
    # The cases name the rules beside them: run them on the installed copy.
    cp "$rule_cases" "$(dirname "$rules")/"
    out=$(promtool test rules "$(dirname "$rules")/$(basename "$rule_cases")" 2>&1) \
        || { echo "promtool test rules fails:"; echo "$out"; status=1; }
else
    missing+=(promtool)
fi

unit="$prefix/lib/systemd/system/zor_charger.service"
grep -q "^ExecStart=/usr/local/bin/zor_charger$\|^ExecStart=.*/bin/zor_charger$" "$unit" \
    || { echo "unit does not start the installed program"; status=1; }

if command -v man >/dev/null; then
    warnings=$(MANWIDTH=80 man -l "$prefix/share/man/man1/zor_charger.1" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "man page warnings: $warnings"; status=1; }
else
    missing+=(man)
fi
[ $status -eq 0 ] || exit $status
if [ ${#missing[@]} -gt 0 ]; then
    echo "not checked: ${missing[*]} not installed (bash scripts/test.sh installs it)"
    exit 77
fi
echo "install layout complete; alerting rules pass their cases"
