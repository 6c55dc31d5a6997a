#!/usr/bin/env bash
# The packages as an operator meets them: in a minimal Debian bookworm,
# made with debootstrap and booted with a real systemd under
# systemd-nspawn, they are installed (their Depends pulled from the
# mirror), the daemon is checked running under its unit's hardening,
# reloaded and administered, the packages are upgraded to the next version
# built from the same tree, then removed and purged. What the daemon does
# on its own, and what the maintainer scripts ask of systemd, have tests of
# their own (tests/host, CheckMaintainerScripts.sh): here, what only a
# booted system shows. Any failure, or a system that cannot be made or
# booted, fails the script.
#
# Meanwhile a newcomer builds and runs the host as a user who is not root
# in a chroot of the same system (CheckNewcomer.sh); its checks count here.
#
# Usage: CheckDistro.sh SOURCE_DIR BUILD_DIR VERSION DEB_VERSION MULTIARCH
#   BUILD_DIR keeps, from one run to the next, the system's tarball
#   (bookworm-minbase.tar.gz), the packages apt downloaded (apt-archives/,
#   and the newcomer's newcomer-archives/) and the build of the next
#   version (next/); distro-run/ is made anew.
set -uo pipefail

source_dir=$1 build_dir=$2 version=$3 multiarch=$5
work=$build_dir/distro-run
tarball=$build_dir/bookworm-minbase.tar.gz
archives=$build_dir/apt-archives
started=$SECONDS
# shellcheck source=Checks.sh
source "$source_dir/tests/packaging/Checks.sh"

[ "$(id -u)" -eq 0 ] || die "needs root to make and boot a Debian system"
for tool in debootstrap systemd-nspawn nsenter cpack; do
    command -v "$tool" >/dev/null ||
        die "no $tool here: install debootstrap, systemd-container and util-linux (cmake/install-deps.sh)"
done
rm -rf "$work"
mkdir -p "$work/debs/current" "$work/debs/next" "$archives"

# The next version: one more patch level, with a Debian revision, from
# the checked-in changelog with an entry on top. Built in the background
# while the system boots; kept for the next run.
IFS=. read -r major minor patch <<<"$version"
next_version=$major.$minor.$((patch + 1))
next_deb_version=$next_version-1
changelog=$build_dir/next.changelog
{
    printf 'murox (%s) unstable; urgency=medium\n\n' "$next_deb_version"
    printf '  * The next version, built by the distribution test to upgrade to.\n\n'
    printf ' -- libMUROX developers <murox-dev@murox.example>  Sun, 06 Dec 2026 00:00:00 +0000\n\n'
    cat "$source_dir/cmake/debian/changelog"
} >"$work/next.changelog"
# Rewritten only when it changes, so the next tree is not configured anew.
cmp -s "$work/next.changelog" "$changelog" || cp "$work/next.changelog" "$changelog"
(
    cmake -S "$source_dir" -B "$build_dir/next" -DMUROX_CHANGELOG="$changelog" \
        -DMUROX_BUILD_TESTS=OFF -DMUROX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
        cmake --build "$build_dir/next" -j "$(nproc)" &&
        cpack --config "$build_dir/next/CPackConfig.cmake" -G DEB -B "$work/next-cpack" \
            -D CPACK_CMAKE_GENERATOR=Ninja &&
        cp "$work/next-cpack"/*.deb "$work/debs/next/"
) >"$work/next.log" 2>&1 &
next_build=$!

# The packages of this build.
cpack --config "$build_dir/CPackConfig.cmake" -G DEB -B "$work/cpack" -D CPACK_CMAKE_GENERATOR=Ninja \
    >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; die "cpack failed"; }
cp "$work/cpack"/*.deb "$work/debs/current/"
# The example extension, built here as its author would: against the packaged development files alone.
sdk=$work/sdk
for deb in "$work/debs/current"/libmurox*.deb; do dpkg-deb -x "$deb" "$sdk" || die "cannot unpack $deb"; done
{ cmake -S "$sdk/usr/share/doc/libmurox-dev/examples/extension" -B "$work/example" -DCMAKE_PREFIX_PATH="$sdk/usr" &&
    cmake --build "$work/example"; } >"$work/example.log" 2>&1 || { cat "$work/example.log"; die "the example extension did not build"; }

# The system: made once with debootstrap from the mirror apt uses here
# (with apt's lists, so that later runs only refresh them) and kept as a
# tarball; unpacked anew each run.
if [ ! -s "$tarball" ]; then
    mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Codename: bookworm' 'Target-Of: deb' | head -n 1)
    [ -n "$mirror" ] || die "apt here knows no Debian bookworm mirror"
    echo "distro: making a minimal bookworm from $mirror"
    rm -rf "$work/make"
    debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus bookworm "$work/make" "$mirror" \
        >"$work/debootstrap.log" 2>&1 && chroot "$work/make" apt-get update -q >>"$work/debootstrap.log" 2>&1 ||
        { tail -n 20 "$work/debootstrap.log"; die "debootstrap could not make the system from $mirror"; }
    tar -C "$work/make" -czf "$tarball.tmp" . && mv "$tarball.tmp" "$tarball" || die "cannot write $tarball"
    rm -rf "$work/make"
fi
# The newcomer's check, in the background in a process group of its own;
# its checks are counted at the end.
setsid "$source_dir/tests/packaging/CheckNewcomer.sh" "$source_dir" "$tarball" "$build_dir/newcomer-archives" \
    "$work/newcomer" >"$work/newcomer.log" 2>&1 &
newcomer=$!

root=$work/root
mkdir -p "$root"
tar -C "$root" -xzf "$tarball" || die "cannot unpack $tarball"
# /root, not /tmp: the booted system mounts a /tmp of its own over it.
cp -r "$work/debs" "$root/root/debs"
# A library whose init aborts, root's, where root loads libraries from by default.
aborts=/usr/local/lib/murox/libmurox_test_aborts.so
mkdir -p "$root${aborts%/*}" && c++ -shared -fPIC -DFAULTY_EXT='"aborts"' -I"$source_dir" \
    -o "$root$aborts" "$source_dir/tests/host/FaultyExt.cpp" && chmod 755 "$root$aborts" ||
    die "cannot build the library that aborts"

# Boot it. Its init is the container process's child.
systemd-nspawn -q -b --register=no --keep-unit -D "$root" --bind="$archives:/var/cache/apt/archives" \
    </dev/null >"$work/boot.log" 2>&1 &
nspawn=$!
init=

# container_init: sets init to the child of systemd-nspawn that runs systemd
# (the fourth field of /proc/PID/stat is the parent's pid; the second, the
# name, in brackets, may hold blanks), not the helper that starts it.
container_init() {
    local stat line fields
    for stat in /proc/[0-9]*/stat; do
        read -r line <"$stat" 2>/dev/null || continue
        read -r -a fields <<<"${line##*) }"
        [ "${fields[1]:-}" = "$nspawn" ] && [[ $line == *" (systemd) "* ]] &&
            { stat=${stat#/proc/}; init=${stat%/stat}; return 0; }
    done
    return 1
}

# inside COMMAND...: runs a command in the booted system, with a clean
# environment.
inside() {
    nsenter -t "$init" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}

finish() {
    [ -n "$init" ] && kill -0 "$nspawn" 2>/dev/null && inside systemctl poweroff >/dev/null 2>&1
    poll eval '! kill -0 "$nspawn"' || kill "$nspawn"
    kill -0 "$next_build" 2>/dev/null && kill "$next_build"
    kill -0 "$newcomer" 2>/dev/null && kill -- -"$newcomer"
    wait 2>/dev/null
    echo "distro: $passed passed, $failed failed, $((SECONDS - started)) s"
}
trap finish EXIT

poll container_init || { cat "$work/boot.log"; die "systemd-nspawn did not boot the system"; }
# Until systemd listens on its bus, systemctl cannot ask it.
for ((i = 0; i < 300; i++)); do
    state=$(timeout 90 nsenter -t "$init" -a systemctl is-system-running --wait 2>&1)
    [[ $state == *"connect to bus"* ]] || break
    sleep 0.2
done
case $state in
running) ok "the system booted under systemd" ;;
degraded) ok "the system booted under systemd (degraded: $(inside systemctl --failed --no-legend | tr '\n' ' '))" ;;
*) cat "$work/boot.log"; die "the system did not finish booting: '$state'" ;;
esac

inside apt-get update -q >"$work/apt-update.log" 2>&1 ||
    { cat "$work/apt-update.log"; die "apt-get update failed inside: no access to the mirror?"; }

debs() {
    local deb
    for deb in "$root/root/debs/$1"/*.deb; do echo "/root/debs/$1/${deb##*/}"; done
}
mainpid() { inside systemctl show -p MainPID --value murox.service; }
listing() { inside murox --remote -e xdll; }
libraries() { listing | statuses; }
# status NAME: the status the listing gives the extension library NAME.
status() { libraries | tr , '\n' | sed -n "s/^$1=//p"; }
modes() { inside stat -c '%U:%G %a' "$@" | paste -sd' '; }
unit() { echo "$(inside systemctl is-active murox.service)" "$(inside systemctl show -p LoadState -p NeedDaemonReload murox.service | sort | paste -sd' ')"; }
conf=/etc/murox/murox.conf

# Installation: the unit started, the daemon serving the group murox on the
# installed configuration, its journal at its priorities.
mapfile -t current < <(debs current)
check "apt-get install of the three packages pulls in their Depends" \
    inside apt-get install -y -q --no-install-recommends "${current[@]}"
await "murox.service is active and answers on its socket" listing
is "the socket and its directory are the group murox's" "root:murox 750 root:murox 660" \
    modes /run/murox /run/murox/murox.ctl
is "the listing: hello loaded, idle not, no failing sample" "hello=LOADED,idle=NOT LOADED" libraries
is "the journal has the daemon's start at notice" 1 \
    inside sh -c 'journalctl -b -u murox.service -p notice -o cat | grep -c "daemon started"'
is "the journal has nothing at warning" "" inside journalctl -b -u murox.service -p warning -o cat -q

# Reload: an edited configuration is read again, by the same daemon.
pid=$(mainpid)
inside sed -i '/^\[extdll idle\]/,/^load/ s/^load = 0$/load = 1/' "$conf"
check "systemctl reload murox" inside systemctl reload murox.service
is "the reload loaded idle, as the edited configuration says, in the same process" "LOADED $pid" \
    eval 'echo "$(status idle) $(mainpid)"'

# The example extension, installed where the local administrator's go, is added to the running daemon.
(umask 022 && cmake --install "$work/example" --prefix "$root/usr/local" >/dev/null) || bad "installing the example"
is "/usr/local/lib/murox (0755) and the example in it (0644) are root's" "root:root 755 root:root 644" \
    modes /usr/local/lib/murox /usr/local/lib/murox/libexample.so
inside murox --remote -e "xdll -a example /usr/local/lib/murox/libexample.so /example" >/dev/null 2>&1
is "xdll -a loads the example" LOADED status example
await "the example's init event is in the journal" \
    inside sh -c 'journalctl -b -u murox.service -o cat | grep -qx "example: init"'

# Under the unit's hardening the daemon rewrites its configuration, one of
# another user's too, keeping its owner and mode (CAP_CHOWN alone).
sample=/usr/lib/$multiarch/murox/libmurox_ext_hello.so
extra() { echo "$(status extra) $(modes "$conf") $(inside grep -c '^\[extdll extra\]' "$conf")"; }
inside chown nobody:murox "$conf" && inside chmod 640 "$conf"
inside murox --remote -e "xdll -a extra $sample" >/dev/null 2>&1
is "xdll -a loads a library and writes it into a configuration of another user's" \
    "LOADED nobody:murox 640 1" extra
inside murox --remote -e "xdll -d extra" >/dev/null 2>&1
is "xdll -d unloads it and takes it out of the configuration" " nobody:murox 640 0" extra
inside chown root:root "$conf" && inside chmod 644 "$conf"

# A deploy script as a configuration management tool runs one, deciding from murox's JSON alone (jq,
# from the mirror): the file from its template, checked, put in place and applied, then verified.
cat >"$root/root/deploy.sh" <<'EOF'
#!/bin/sh
set -eu
conf=/etc/murox/murox.conf
{ sed '/^\[extdll deployed\]/,$d' "$conf"; printf '[extdll deployed]\npath = %s\nweb = /deployed\n' "$1"; } >"$conf.new"
murox --check --config "$conf.new" 2>/dev/null
mv "$conf.new" "$conf"
reload=$(murox --remote --json -e "xdll -r")
murox --remote --json -e xdll | jq -e '.libraries[] | select(.name == "deployed") | .loaded' >/dev/null
echo "$reload" | jq -r 'if .changed then "changed" else "unchanged" end'
EOF
inside apt-get install -y -q --no-install-recommends jq >"$work/jq.log" 2>&1 || bad "apt-get install jq: $(tail -n 3 "$work/jq.log")"
deploy() { for run in 1 2 3; do echo "$(inside sh /root/deploy.sh "$sample") $?"; done | paste -sd' '; }
is "a deploy script run three times changes, then finds nothing to change, each time exit 0" \
    "changed 0 unchanged 0 unchanged 0" deploy

# The daemon that dies loading a library (added as a group member may) is restarted by systemd
# without it, and says so at warning, until a load by hand tries it once more.
set_aside() {
    echo "$(status aborts) $(inside journalctl -b -u murox.service -p warning -o cat |
        grep -c "^extension library 'aborts' not loaded: it ended murox pid ")"
}
inside murox --remote -e "xdll -a aborts $aborts" >/dev/null 2>&1
await "the daemon that xdll -a ended is back" listing
is "... without the library, set aside, said at warning" "FAILED TO LOAD 1" set_aside
inside murox --remote -e "xdll -l aborts" >/dev/null 2>&1
await "the daemon that xdll -l ended is back" listing
is "... the library set aside again" "FAILED TO LOAD 2" set_aside
inside murox --remote -e "xdll -d aborts" >/dev/null 2>&1

# Upgrade to the next version: the daemon runs the new program, the
# operator's edit stays.
wait "$next_build" || { tail -n 30 "$work/next.log"; die "building the next version failed"; }
# Into the running system's tree, which is a folder here.
cp "$work/debs/next"/*.deb "$root/root/debs/next/" || die "no packages of the next version"
mapfile -t next < <(debs next)
pid=$(mainpid)
check "apt-get install upgrades the three packages to $next_deb_version" \
    inside apt-get install -y -q --no-install-recommends -o Dpkg::Options::=--force-confold "${next[@]}"
await "the upgraded daemon answers" listing
newpid=$(mainpid)
check "the daemon was restarted onto the new program and library ($pid -> $newpid)" inside sh -c "
    [ '$newpid' != '$pid' ] && [ '$newpid' != 0 ] && [ \"\$(readlink /proc/$newpid/exe)\" = /usr/bin/murox ] &&
        ! grep '(deleted)' /proc/$newpid/maps && grep -q 'libMUROX.so.$next_version\$' /proc/$newpid/maps"
is "the upgrade kept the operator's edit to murox.conf, and the unit enabled" "LOADED enabled" \
    eval 'echo "$(status idle) $(inside systemctl is-enabled murox.service)"'

# Removal stops the daemon, tells systemd, keeps the configuration; purge
# leaves nothing of the packages but the group. What the packages
# installed: "d PATH" for a folder, "f PATH" otherwise.
mapfile -t files < <(inside sh -c 'for path in $(dpkg-query -L libmurox1 libmurox-dev murox-host | sort -u); do
                                   if [ -d "$path" ]; then echo "d $path"; else echo "f $path"; fi
                               done')
check "apt-get remove murox-host" inside apt-get remove -y -q murox-host
# The unit, still wanted by the enabled target, is not kept loaded from a file that is no more.
is "the removal stopped the daemon and left systemd without the unit" \
    "inactive LoadState=not-found NeedDaemonReload=no" unit
check "the removal kept /etc/murox/murox.conf alone" inside sh -c "test -f $conf && ! test -e /usr/bin/murox"
check "apt-get purge of the three packages" inside apt-get purge -y -q murox-host libmurox-dev libmurox1
left=()
for entry in "${files[@]}" "d /etc/murox" "d /run/murox" "d /var/lib/murox" \
    "f /etc/systemd/system/multi-user.target.wants/murox.service" \
    "f /var/lib/systemd/deb-systemd-helper-enabled/murox.service.dsh-also" \
    "f /var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/murox.service"; do
    path=${entry#? }
    # Folders of the system's own, such as /usr/share/doc, stay.
    [[ $entry == d* && ! $path =~ murox|MUROX ]] && continue
    inside test -e "$path" -o -L "$path" && left+=("$path")
done
is "the purge left nothing of the packages" "" echo "${left[*]}"
check "the purge kept the group murox" inside getent group murox

wait "$newcomer" || grep -q '^FAIL: ' "$work/newcomer.log" || bad "the newcomer's check failed, saying nothing"
cat "$work/newcomer.log"
passed=$((passed + $(grep -c '^ok: ' "$work/newcomer.log")))
failed=$((failed + $(grep -c '^FAIL: ' "$work/newcomer.log")))
[ "$failed" -eq 0 ]
