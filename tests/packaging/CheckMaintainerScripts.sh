#!/usr/bin/env bash
# What the host package's maintainer scripts ask of systemd and the system for each argument dpkg
# gives, without root or systemd: each runs on a copy with /run a test folder (run/systemd/system
# or not) and stand-ins that note each call first on PATH. The distribution test uses a real one.
# Usage: CheckMaintainerScripts.sh SCRIPTS_DIR WORK_DIR
set -uo pipefail
scripts=$1
work=$2
# shellcheck source=Checks.sh
source "$(dirname "$0")/Checks.sh"

rm -rf "$work"
mkdir -p "$work/bin"
for tool in systemctl deb-systemd-helper deb-systemd-invoke getent addgroup; do
    # Each notes its arguments; getent knows no group murox unless $GETENT_STATUS=0, addgroup makes it;
    # deb-systemd-helper's was-enabled answers $WAS_ENABLED; $FAIL makes systemd's tools fail.
    cat >"$work/bin/$tool" <<EOF
#!/bin/sh
echo "$tool \$*" >>"\$CALLS"
[ "$tool" != getent ] || exit "\${GETENT_STATUS:-2}"
[ "$tool" != addgroup ] || exit 0
[ "$tool \$1" != "deb-systemd-helper --quiet" ] || exit "\${WAS_ENABLED:-0}"
exit "\${FAIL:-0}"
EOF
    chmod 755 "$work/bin/$tool"
done

# expect WHAT SCRIPT SYSTEMD(yes|no) ARGS... -- CALLS...: the script exits 0 having made the calls,
# one a line; removing the runtime and state folders counts as one more.
expect() {
    local what=$1 script=$2 systemd=$3 root=$work/root args=()
    shift 3
    while [ "$1" != -- ]; do
        args+=("$1")
        shift
    done
    shift
    rm -rf "$root" && mkdir -p "$root/run/murox" "$root/var/lib/murox"
    [ "$systemd" = no ] || mkdir -p "$root/run/systemd/system"
    sed "s|/run/|$root/run/|g; s|/var/lib/murox|$root/var/lib/murox|g" "$scripts/murox-host.$script" \
        >"$work/$script"
    : >"$work/calls"
    CALLS=$work/calls PATH="$work/bin:$PATH" sh "$work/$script" "${args[@]}" >"$work/out" 2>&1
    rc=$?
    [ -d "$root/run/murox" ] || [ -d "$root/var/lib/murox" ] || echo "$gone" >>"$work/calls"
    is "$what" "$(printf '%s\n' "exit 0" "$@")" calls || indent <"$work/out"
}
calls() { echo "exit $rc" && cat "$work/calls"; }

gone="/run/murox and /var/lib/murox removed"
group=("getent group murox" "addgroup --system --quiet murox")
enable=("deb-systemd-helper unmask murox.service" "deb-systemd-helper --quiet was-enabled murox.service"
    "deb-systemd-helper enable murox.service")
reload="systemctl --system daemon-reload"

expect "postinst configure, first installation" postinst yes configure "" -- \
    "${group[@]}" "${enable[@]}" "$reload" "deb-systemd-invoke start murox.service"
GETENT_STATUS=0 expect "postinst configure, an upgrade, the group already made" postinst yes configure 1.0.0 -- \
    "getent group murox" "${enable[@]}" "$reload" "deb-systemd-invoke restart murox.service"
expect "postinst configure without systemd" postinst no configure "" -- "${group[@]}" "${enable[@]}"
expect "postinst abort-upgrade" postinst yes abort-upgrade 1.0.0 -- \
    "${enable[@]}" "$reload" "deb-systemd-invoke restart murox.service"
WAS_ENABLED=1 expect "postinst configure, disabled by the administrator" postinst yes configure 1.0.0 -- \
    "${group[@]}" "deb-systemd-helper unmask murox.service" \
    "deb-systemd-helper --quiet was-enabled murox.service" \
    "deb-systemd-helper update-state murox.service" "$reload" \
    "deb-systemd-invoke restart murox.service"
FAIL=1 expect "postinst configure, every helper failing" postinst yes configure 1.0.0 -- \
    "${group[@]}" "deb-systemd-helper unmask murox.service" \
    "deb-systemd-helper --quiet was-enabled murox.service" \
    "deb-systemd-helper enable murox.service" "$reload" \
    "deb-systemd-invoke restart murox.service"

expect "prerm remove" prerm yes remove -- "deb-systemd-invoke stop murox.service"
expect "prerm upgrade" prerm yes upgrade 1.0.1 --
expect "prerm remove without systemd" prerm no remove --
DPKG_ROOT=/target expect "prerm remove into another root" prerm yes remove --
FAIL=1 expect "prerm remove, the stop failing" prerm yes remove -- "deb-systemd-invoke stop murox.service"

expect "postrm remove" postrm yes remove -- "$reload"
expect "postrm purge" postrm yes purge -- "deb-systemd-helper purge murox.service" "$reload" "$gone"
expect "postrm purge without systemd" postrm no purge -- "deb-systemd-helper purge murox.service" "$gone"
expect "postrm upgrade" postrm yes upgrade 1.0.1 --
FAIL=1 expect "postrm purge, the helpers failing" postrm yes purge -- \
    "deb-systemd-helper purge murox.service" "$reload" "$gone"

[ "$failed" = 0 ]
