#!/usr/bin/env bash
# What the host package's maintainer scripts ask of systemd and the system for each argument dpkg
# gives, without root or systemd: each runs on a copy with /run a test folder (run/systemd/system
# or not) and stand-ins that note each call first on PATH. The distribution test uses a real one.
# Usage: CheckMaintainerScripts.sh SCRIPTS_DIR WORK_DIR
set -uo pipefail
scripts=$1 work=$2
# shellcheck source=Checks.sh
source "$(dirname "$0")/Checks.sh"

rm -rf "$work"
mkdir -p "$work/bin"
# Each tool notes its arguments; getent knows no group murox unless $GETENT_STATUS=0, addgroup makes
# it; deb-systemd-helper's was-enabled answers $WAS_ENABLED; $FAIL makes systemd's tools fail.
cat >"$work/stand-in" <<'EOF'
#!/bin/sh
echo "${0##*/} $*" >>"$CALLS"
case "${0##*/} $1" in getent*) exit "${GETENT_STATUS:-2}" ;; addgroup*) exit 0 ;; *" --quiet") exit "${WAS_ENABLED:-0}" ;; esac
exit "${FAIL:-0}"
EOF
chmod 755 "$work/stand-in"
for tool in systemctl deb-systemd-helper deb-systemd-invoke getent addgroup; do ln -s ../stand-in "$work/bin/$tool"; done

# expect WHAT SCRIPT SYSTEMD(yes|no) ARGS CALLS...: the script, given the words of ARGS, exits 0 having
# made the calls, one a line; removing the runtime and state folders counts as one more.
expect() {
    local what=$1 script=$2 systemd=$3 root=$work/root args
    read -r -a args <<<"$4"
    shift 4
    rm -rf "$root" && mkdir -p "$root/run/murox" "$root/var/lib/murox" && : >"$work/calls"
    [ "$systemd" = no ] || mkdir -p "$root/run/systemd/system"
    sed "s|/run/|$root/run/|g; s|/var/lib/murox|$root/var/lib/murox|g" "$scripts/murox-host.$script" \
        >"$work/$script"
    CALLS=$work/calls PATH="$work/bin:$PATH" sh "$work/$script" "${args[@]}" >"$work/out" 2>&1
    rc=$?
    [ -d "$root/run/murox" ] || [ -d "$root/var/lib/murox" ] || echo "$gone" >>"$work/calls"
    is "$what" "$(printf '%s\n' "exit 0" "$@")" calls || indent <"$work/out"
}
calls() { echo "exit $rc" && cat "$work/calls"; }

gone="/run/murox and /var/lib/murox removed"
group=("getent group murox" "addgroup --system --quiet murox")
helper="deb-systemd-helper" reload="systemctl --system daemon-reload" invoke="deb-systemd-invoke"
was=("$helper unmask murox.service" "$helper --quiet was-enabled murox.service")
enable=("${was[@]}" "$helper enable murox.service")
start="$invoke start murox.service" restart="$invoke restart murox.service" stop="$invoke stop murox.service"

expect "postinst configure, first installation" postinst yes configure "${group[@]}" "${enable[@]}" "$reload" "$start"
GETENT_STATUS=0 expect "postinst configure, an upgrade, the group already made" postinst yes "configure 1.0.0" \
    "getent group murox" "${enable[@]}" "$reload" "$restart"
expect "postinst configure without systemd" postinst no configure "${group[@]}" "${enable[@]}"
expect "postinst abort-upgrade" postinst yes "abort-upgrade 1.0.0" "${enable[@]}" "$reload" "$restart"
WAS_ENABLED=1 expect "postinst configure, disabled by the administrator" postinst yes "configure 1.0.0" \
    "${group[@]}" "${was[@]}" "$helper update-state murox.service" "$reload" "$restart"
FAIL=1 expect "postinst configure, every helper failing" postinst yes "configure 1.0.0" \
    "${group[@]}" "${enable[@]}" "$reload" "$restart"

expect "prerm remove" prerm yes remove "$stop"
expect "prerm upgrade" prerm yes "upgrade 1.0.1"
expect "prerm remove without systemd" prerm no remove
DPKG_ROOT=/target expect "prerm remove into another root" prerm yes remove
FAIL=1 expect "prerm remove, the stop failing" prerm yes remove "$stop"

expect "postrm remove" postrm yes remove "$reload"
expect "postrm purge" postrm yes purge "$helper purge murox.service" "$reload" "$gone"
expect "postrm purge without systemd" postrm no purge "$helper purge murox.service" "$gone"
expect "postrm upgrade" postrm yes "upgrade 1.0.1"
FAIL=1 expect "postrm purge, the helpers failing" postrm yes purge "$helper purge murox.service" "$reload" "$gone"

[ "$failed" = 0 ]
