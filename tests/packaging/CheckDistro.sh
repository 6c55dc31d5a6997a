#!/usr/bin/env bash
# The packages as an operator meets them: in a minimal Debian bookworm,
# made with debootstrap and booted with a real systemd under
# systemd-nspawn, they are installed (their Depends pulled from the
# mirror), the daemon is checked running, reloaded and administered, the
# packages are upgraded to the next version built from the same tree,
# a daemon is built against libmurox-dev, and the packages are removed and
# purged. Each check prints "ok" or "FAIL"; any failure, or a system that
# cannot be made or booted, fails the script.
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

source_dir=$1 build_dir=$2 version=$3 deb_version=$4 multiarch=$5
work=$build_dir/distro-run
tarball=$build_dir/bookworm-minbase.tar.gz
archives=$build_dir/apt-archives
started=$SECONDS

die() {
    echo "distro: FAIL: $*" >&2
    exit 1
}

passed=0 failed=0
ok() { echo "ok: $*"; passed=$((passed + 1)); }
bad() { echo "FAIL: $*"; failed=$((failed + 1)); }
# expect WHAT COMMAND...: a check that the command succeeds.
expect() {
    local what=$1 out
    shift
    if out=$("$@" 2>&1); then ok "$what"; else bad "$what"; printf '%s\n' "$out" | sed 's/^/    /'; fi
}

[ "$(id -u)" -eq 0 ] || die "needs root to make and boot a Debian system"
for tool in debootstrap systemd-nspawn nsenter cpack; do
    command -v "$tool" >/dev/null ||
        die "no $tool here: install debootstrap, systemd-container and util-linux (cmake/install-deps.sh)"
done

# The mirror apt already uses for bookworm: deb822 stanzas first, then
# one-line sources.
mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v RS= '
    /(^|\n)Types:[^\n]*[[:space:]]deb([[:space:]]|\n|$)/ &&
    /(^|\n)Suites:([^\n]*[[:space:]])?bookworm([[:space:]]|\n|$)/ {
        if (match($0, /(^|\n)URIs:[[:space:]]*[^[:space:]]+/)) {
            s = substr($0, RSTART, RLENGTH); sub(/.*URIs:[[:space:]]*/, "", s); print s; exit
        }
    }')
if [ -z "$mirror" ]; then
    mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
             sed -E 's/\[[^]]*\]//' | awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }')
fi
[ -n "$mirror" ] || die "no Debian bookworm mirror in /etc/apt/sources.list.d/ or /etc/apt/sources.list"

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

# The newcomer's check, in the background from when the system's tarball
# is there; finish_newcomer waits for it and counts its checks with these.
newcomer=
start_newcomer() {
    "$source_dir/tests/packaging/CheckNewcomer.sh" "$source_dir" "$tarball" \
        "$build_dir/newcomer-archives" "$work/newcomer" >"$work/newcomer.log" 2>&1 &
    newcomer=$!
}
finish_newcomer() {
    local rc
    wait "$newcomer"
    rc=$?
    newcomer=
    cat "$work/newcomer.log"
    passed=$((passed + $(grep -c '^ok: ' "$work/newcomer.log")))
    failed=$((failed + $(grep -c '^FAIL: ' "$work/newcomer.log")))
    [ "$rc" -eq 0 ] || grep -q '^FAIL: ' "$work/newcomer.log" || bad "the newcomer's check ended with status $rc"
}

# The system: made once with debootstrap (with apt's lists, so that later
# runs only refresh them) and kept as a tarball; unpacked anew each run.
if [ ! -s "$tarball" ]; then
    echo "distro: making a minimal bookworm from $mirror"
    rm -rf "$work/make"
    debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus bookworm "$work/make" "$mirror" \
        >"$work/debootstrap.log" 2>&1 ||
        { tail -n 20 "$work/debootstrap.log"; die "debootstrap could not make the system from $mirror"; }
    chroot "$work/make" apt-get update -q >>"$work/debootstrap.log" 2>&1 ||
        { tail -n 20 "$work/debootstrap.log"; die "apt-get update failed in the new system"; }
    tar -C "$work/make" -czf "$tarball.tmp" . && mv "$tarball.tmp" "$tarball" ||
        die "cannot write $tarball"
    rm -rf "$work/make"
fi
start_newcomer

root=$work/root
mkdir -p "$root"
tar -C "$root" -xzf "$tarball" || die "cannot unpack $tarball"
# /root, not /tmp: the booted system mounts a /tmp of its own over it.
cp -r "$work/debs" "$root/root/debs"
cp -r "$source_dir/tests/packaging/consumer" "$root/root/consumer"

# Boot it. Its init is the container process's child.
systemd-nspawn -q -b --register=no --keep-unit -D "$root" --bind="$archives:/var/cache/apt/archives" \
    </dev/null >"$work/boot.log" 2>&1 &
nspawn=$!
init=

# The container's init: the child of systemd-nspawn (the fourth field of
# /proc/PID/stat is the parent's pid; the second, the name, may hold blanks).
container_init() {
    local stat line fields
    for stat in /proc/[0-9]*/stat; do
        read -r line <"$stat" 2>/dev/null || continue
        read -r -a fields <<<"${line##*) }"
        [ "${fields[1]:-}" = "$nspawn" ] && { stat=${stat#/proc/}; echo "${stat%/stat}"; return; }
    done
}

# inside COMMAND...: runs a command in the booted system, with a clean
# environment.
inside() {
    nsenter -t "$init" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}

finish() {
    local i
    [ -n "$newcomer" ] && kill "$newcomer" 2>/dev/null
    if [ -n "$init" ] && kill -0 "$nspawn" 2>/dev/null; then
        inside systemctl poweroff >/dev/null 2>&1
    fi
    for ((i = 0; i < 60; i++)); do
        kill -0 "$nspawn" 2>/dev/null || break
        sleep 0.5
    done
    kill -0 "$nspawn" 2>/dev/null && kill "$nspawn"
    mountpoint -q "$work/chroot/var/cache/apt/archives" && umount "$work/chroot/var/cache/apt/archives"
    kill -0 "$next_build" 2>/dev/null && kill "$next_build"
    wait 2>/dev/null
    echo "distro: $passed passed, $failed failed, $((SECONDS - started)) s"
}
trap finish EXIT

for ((i = 0; i < 100; i++)); do
    init=$(container_init)
    [ -n "$init" ] && break
    kill -0 "$nspawn" 2>/dev/null || break
    sleep 0.2
done
[ -n "$init" ] || { cat "$work/boot.log"; die "systemd-nspawn did not boot the system"; }
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
    { cat "$work/apt-update.log"; die "apt-get update failed inside: no access to $mirror?"; }

debs() {
    local deb
    for deb in "$root/root/debs/$1"/*.deb; do echo "/root/debs/$1/${deb##*/}"; done
}
mainpid() { inside systemctl show -p MainPID --value murox.service; }
listing() { inside murox --remote -e xdll; }
# await WHAT COMMAND...: the command succeeds within 10 s.
await() {
    local what=$1 i
    shift
    for ((i = 0; i < 50; i++)); do
        "$@" >/dev/null 2>&1 && { ok "$what"; return 0; }
        sleep 0.2
    done
    bad "$what"
    return 1
}
# status NAME: the status the listing gives the extension library NAME.
status() { listing 2>/dev/null | awk -v n="$1" '$1 == n { s = 1 } s && /Status:/ { sub(/.*Status: +/, ""); print; exit }'; }

mapfile -t current < <(debs current)

# In a chroot, where no systemd runs (an image being built): the packages
# install, the unit is enabled, nothing is started; purge takes the
# enablement back.
chroot=$work/chroot
cp -a "$root" "$chroot" && cp /etc/resolv.conf "$chroot/etc/resolv.conf" &&
    cp -a "$root/var/lib/apt/lists/." "$chroot/var/lib/apt/lists/" &&
    mount --bind "$archives" "$chroot/var/cache/apt/archives" || die "cannot make a chroot of the system"
in_chroot() {
    chroot "$chroot" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}
expect "in a chroot, apt-get install of the three packages" \
    in_chroot apt-get install -y -q --no-install-recommends "${current[@]}"
wants=/etc/systemd/system/multi-user.target.wants/murox.service
started=
for exe in /proc/[0-9]*/exe; do
    [ "$(readlink "$exe" 2>/dev/null)" = "$chroot/usr/bin/murox" ] && started+=" ${exe//[!0-9]/}"
done
[ -L "$chroot$wants" ] && [ -z "$started" ] && in_chroot getent group murox >/dev/null &&
    ok "in a chroot, the group is made and the unit enabled, not started" ||
    bad "in a chroot: enabled '$(ls -l "$chroot$wants" 2>&1)', started:$started"
expect "in a chroot, apt-get purge" in_chroot apt-get purge -y -q murox-host libmurox-dev libmurox1
[ ! -e "$chroot$wants" ] && [ ! -L "$chroot$wants" ] && [ ! -e "$chroot/etc/murox" ] &&
    ok "in a chroot, the purge takes the enablement and the configuration" ||
    bad "in a chroot, the purge left $(ls -d "$chroot$wants" "$chroot/etc/murox" 2>/dev/null)"
umount "$chroot/var/cache/apt/archives"

# Installation in the booted system.
expect "apt-get install of the three packages pulls in their Depends" \
    inside apt-get install -y -q --no-install-recommends "${current[@]}"
[ "$(inside systemctl is-enabled murox.service 2>&1)" = enabled ] && ok "murox.service is enabled" ||
    bad "murox.service is not enabled: $(inside systemctl is-enabled murox.service 2>&1)"
await "murox.service is active and answers on its socket" listing
gid=$(inside getent group murox | cut -d: -f3)
[ -n "$gid" ] && [ "$gid" -lt 1000 ] && ok "the system group murox exists ($gid)" ||
    bad "no system group murox: '$(inside getent group murox)'"
modes=$(inside stat -c '%U:%G %a' /run/murox /run/murox/murox.ctl | tr '\n' ' ')
[ "$modes" = "root:murox 750 root:murox 660 " ] && ok "the socket and its directory are the group murox's" ||
    bad "the socket's directory and the socket are '$modes'"
out=$(inside murox --check 2>&1) && [ -z "$out" ] && ok "murox --check finds nothing wrong in the configuration" ||
    { bad "murox --check on the installed configuration"; sed 's/^/    /' <<<"$out"; }
[ "$(status hello)" = LOADED ] && [ "$(status idle)" = "NOT LOADED" ] && [ -z "$(status broken)" ] &&
    [ -z "$(status missing)" ] && ok "murox --remote -e xdll: hello loaded, idle not, no failing sample" ||
    { bad "murox --remote -e xdll"; listing 2>&1 | sed 's/^/    /'; }
journal=$(inside journalctl -b -u murox.service --no-pager -o cat)
if grep -q "daemon started" <<<"$journal" && grep -q "hello: init" <<<"$journal" &&
    ! grep -Eiq "fail|not loaded|error|refus|denied" <<<"$journal"; then
    ok "the daemon's journal records its start and no failure"
else
    bad "the daemon's journal:"; sed 's/^/    /' <<<"$journal"
fi

# Administrators: a member of murox is served, a stranger is not.
inside useradd --create-home admin1 >/dev/null 2>&1 && inside adduser --quiet admin1 murox >/dev/null 2>&1 &&
    inside useradd --create-home stranger >/dev/null 2>&1 || bad "cannot make the users admin1 and stranger"
expect "a member of murox uses the daemon" \
    inside runuser -u admin1 -- murox --remote --socket /run/murox/murox.ctl -e xdll
if out=$(inside runuser -u stranger -- murox --remote --socket /run/murox/murox.ctl -e xdll 2>&1) ||
    grep -q hello <<<"$out"; then
    bad "a user outside murox is served"
else
    ok "a user outside murox is turned away: $out"
fi

# Reload: an edited configuration is read again, by the same daemon.
pid=$(mainpid)
inside sed -i '/^\[extdll idle\]/,/^load/ s/^load = 0$/load = 1/' /etc/murox/murox.conf
expect "systemctl reload murox" inside systemctl reload murox.service
[ "$(status idle)" = LOADED ] && [ "$(mainpid)" = "$pid" ] &&
    ok "the reload loaded idle, as the edited configuration says, in the same process" ||
    bad "after the reload idle is '$(status idle)', the daemon $(mainpid) (was $pid)"

# The daemon as systemd's own kind of service (Type=notify): ready when
# "systemctl restart" returns, its status line in "systemctl status", a
# stopped loop killed and restarted by the watchdog, a broken
# configuration failing the restart itself.
# loaded_count: how many libraries the listing shows LOADED.
loaded_count() { listing 2>/dev/null | grep -c 'Status: *LOADED$'; }
# status_text_is TEXT: the unit's status line is TEXT.
status_text_is() { [ "$(inside systemctl show -p StatusText --value murox.service)" = "$1" ]; }
check_service_manager() {
    local conf=/etc/murox/murox.conf round failures=0 pid loaded text out dropin line
    for ((round = 1; round <= 10; round++)); do
        # Ten restarts in a row exceed the default start limit (5 in 10 s).
        inside systemctl reset-failed murox.service
        inside sh -c 'systemctl restart murox.service && murox --remote -e xdll' >/dev/null 2>&1 ||
            failures=$((failures + 1))
    done
    [ "$failures" -eq 0 ] && ok "systemctl restart murox && murox --remote -e xdll: 10 of 10" ||
        bad "systemctl restart murox && murox --remote -e xdll failed $failures of 10 times"
    loaded=$(loaded_count)
    [ "$loaded" = 1 ] && text="1 extension library loaded" || text="$loaded extension libraries loaded"
    text="$text, 0 failed, 0 consoles"
    await "the unit's status line is \"$text\"" status_text_is "$text"
    out=$(inside systemctl status --no-pager murox.service 2>&1)
    grep -qF "Status: \"$text\"" <<<"$out" && ok "systemctl status murox shows the status line" ||
        { bad "systemctl status murox has no status line"; sed 's/^/    /' <<<"$out"; }
    # The watchdog, shortened by a drop-in: a daemon that idles is left
    # alone, one whose loop stops is killed and started again.
    dropin=/run/systemd/system/murox.service.d
    inside mkdir -p "$dropin" && inside sh -c "printf '[Service]\nWatchdogSec=2s\n' >$dropin/watchdog.conf" &&
        inside systemctl daemon-reload && inside systemctl restart murox.service ||
        bad "cannot restart murox with WatchdogSec=2s"
    pid=$(mainpid)
    sleep 5
    [ "$(mainpid)" = "$pid" ] && inside systemctl is-active --quiet murox.service &&
        ok "an idle daemon is not killed by a watchdog of 2 s (5 s on)" ||
        bad "an idle daemon was restarted by the watchdog: $pid -> $(mainpid)"
    inside sh -c "kill -STOP $pid"
    await_restart() { [ "$(mainpid)" != "$pid" ] && [ "$(mainpid)" != 0 ] && listing; }
    await "a stopped daemon is killed by the watchdog and restarted" await_restart
    inside journalctl -b -u murox.service --no-pager -o cat | grep -q "Watchdog timeout" &&
        ok "the journal says the watchdog timed out" || bad "the journal does not name the watchdog"
    inside rm -r "$dropin" && inside systemctl daemon-reload
    inside systemctl reset-failed murox.service
    inside systemctl restart murox.service
    # A broken configuration: the restart fails, the journal names the line
    # and why; the good one back, the daemon starts again.
    inside cp -p "$conf" "$conf.good"
    inside sh -c "printf '[extdll oops\n' >>$conf"
    line=$(inside sh -c "wc -l <$conf")
    pid=$(mainpid)
    inside systemctl reload murox.service >/dev/null 2>&1
    [ "$(mainpid)" = "$pid" ] && [ "$(loaded_count)" = "$loaded" ] &&
        ok "systemctl reload of a broken configuration keeps the daemon and its libraries" ||
        bad "a broken reload: the daemon $(mainpid) (was $pid), $(loaded_count) loaded (were $loaded)"
    if inside systemctl restart murox.service >/dev/null 2>&1; then
        bad "systemctl restart succeeds with a broken configuration"
    else
        ok "systemctl restart fails with a broken configuration"
    fi
    out=$(inside journalctl -b -u murox.service --no-pager -o cat -n 20)
    grep -qF "murox: malformed '$conf', line $line: section header without ']'" <<<"$out" &&
        ok "the journal names the broken line and why" ||
        { bad "the journal does not name line $line of the broken configuration"; sed 's/^/    /' <<<"$out"; }
    # Failed at once: no restart of an unchanged file is scheduled.
    out=$(inside systemctl show -p SubState --value murox.service)
    [ "$out" = failed ] && ok "a broken configuration is not restarted again and again" ||
        bad "after a broken configuration the unit is '$out', not failed"
    inside mv "$conf.good" "$conf"
    inside systemctl reset-failed murox.service
    inside sh -c 'systemctl restart murox.service && murox --remote -e xdll' >/dev/null 2>&1 &&
        ok "with the good configuration back, the restart succeeds and the daemon answers" ||
        bad "the daemon does not start with the good configuration back"
}
check_service_manager

# Priorities in the journal: each record at its own, so that "journalctl
# -p warning" shows the problems alone; a reload logged once, by the
# daemon; a failed reload a failure with its reason.
# journal_since SINCE [OPTION...]: the unit's records from SINCE on. Not
# --after-cursor: with a filter that the cursor's own entry does not pass,
# journalctl skips the first entry that does.
journal_since() { inside journalctl -u murox.service --since "$1" --no-pager -o cat "${@:2}"; }
# await_journal SINCE TEXT COUNT: TEXT is on COUNT lines from SINCE on, within 10 s.
await_journal() {
    local i
    for ((i = 0; i < 50; i++)); do
        [ "$(journal_since "$1" | grep -c "$2")" -ge "$3" ] && return 0
        sleep 0.2
    done
    return 1
}
# journal_end: the time just after the journal's last entry, "@SECONDS.MICROSECONDS".
journal_end() {
    local usec
    usec=$(inside journalctl -n 1 --no-pager -o export | sed -n 's/^__REALTIME_TIMESTAMP=//p')
    usec=$((usec + 1))
    printf '@%d.%06d\n' $((usec / 1000000)) $((usec % 1000000))
}
since=$(journal_end)
expect "systemctl restart murox" inside systemctl restart murox.service
await "murox.service answers after the restart" listing
for _ in 1 2 3; do listing >/dev/null 2>&1; done
await_journal "$since" "console disconnected" 4
journal=$(journal_since "$since" -p warning)
if [ "$(journal_since "$since" -p notice | grep -c "daemon started")" = 1 ] &&
    [ "$(journal_since "$since" | grep -c "console disconnected")" -ge 4 ] && [ -z "$journal" ]; then
    ok "journalctl -u murox -p warning is empty after a clean start and a few consoles"
else
    bad "after a clean start and a few consoles, at warning:"; sed 's/^/    /' <<<"$journal"
fi
since=$(journal_end)
inside sed -i '/^\[extdll idle\]/,/^load/ s/^load = 1$/load = 0/' /etc/murox/murox.conf
expect "systemctl reload murox, idle unloaded" inside systemctl reload murox.service
await_journal "$since" "idle: term" 1
journal=$(journal_since "$since")
if [ "$(grep -c "idle: term" <<<"$journal")" = 1 ] && [ "$(grep -c "xdll -r" <<<"$journal")" = 1 ] &&
    [ -z "$(journal_since "$since" -p warning)" ]; then
    ok "a reload is logged once, below warning"
else
    bad "a reload's records:"; sed 's/^/    /' <<<"$journal"
fi
since=$(journal_end)
printf '[extdll gone]\npath = /usr/lib/%s/murox/libmurox_ext_gone.so\nload = 1\n' "$multiarch" |
    inside tee -a /etc/murox/murox.conf >/dev/null
inside systemctl reload murox.service >/dev/null 2>&1 && bad "systemctl reload succeeds with a library that fails"
# systemd's own records and the daemon's stream reach the journal each at
# its own pace.
await_journal "$since" "Reload failed" 1
await_journal "$since" "extension library 'gone'" 1
journal=$(journal_since "$since" -p warning)
all=$(journal_since "$since")
if [ "$(grep -c "^extension library 'gone' not loaded: " <<<"$journal")" = 1 ] &&
    [ "$(grep -c "extension library 'gone'" <<<"$all")" = 1 ] &&
    grep -q "status=1/FAILURE" <<<"$all" && ! grep -q NOTIMPLEMENTED <<<"$all"; then
    ok "a failed reload fails, and journalctl -p warning names the library that failed, once"
else
    bad "a failed reload's records, with their priorities:"
    inside journalctl -u murox.service --since "$since" --no-pager -o json \
        --output-fields=PRIORITY,MESSAGE | sed 's/^/    /'
fi
inside sed -i '/^\[extdll gone\]/,$d' /etc/murox/murox.conf
inside sed -i '/^\[extdll idle\]/,/^load/ s/^load = 0$/load = 1/' /etc/murox/murox.conf
expect "systemctl reload murox without the failing library, idle loaded again" inside systemctl reload murox.service
[ "$(status idle)" = LOADED ] || bad "idle is '$(status idle)' after the configuration was put back"

# The hardening leaves "xdll -a" and "xdll -d" their configuration.
sample=/usr/lib/$multiarch/murox/libmurox_ext_hello.so
inside murox --remote -e "xdll -a extra $sample /extra" >/dev/null 2>&1
[ "$(status extra)" = LOADED ] && inside grep -q '^\[extdll extra\]' /etc/murox/murox.conf &&
    ok "xdll -a loads a library and writes it into /etc/murox/murox.conf" ||
    { bad "xdll -a under the unit's hardening"; inside journalctl -b -u murox.service -n 5 --no-pager -o cat; }
inside murox --remote -e "xdll -d extra" >/dev/null 2>&1
[ -z "$(status extra)" ] && ! inside grep -q '^\[extdll extra\]' /etc/murox/murox.conf &&
    ok "xdll -d unloads it and takes it out of /etc/murox/murox.conf" ||
    bad "xdll -d under the unit's hardening"

# The configuration's store under the unit's hardening: no reader of the
# configuration blocks the daemon, a configuration of another user's is
# rewritten, a lock holder is named, and what a killed rewrite left is
# removed at start.
# store_journal_has TEXT [COUNT]: the daemon's journal has TEXT on COUNT lines or more.
store_journal_has() {
    [ "$(inside journalctl -b -u murox.service --no-pager -o cat | grep -c "$1")" -ge "${2:-1}" ]
}
check_store_under_unit() {
    local conf=/etc/murox/murox.conf modes journal holder
    modes=$(inside stat -c '%U:%G %a' /etc/murox "$conf" | tr '\n' ' ')
    [ "$modes" = "root:root 755 root:root 644 " ] && ok "/etc/murox and the configuration are root's, 755 and 644" ||
        bad "/etc/murox and the configuration are '$modes'"
    inside systemd-run --quiet --unit=stranger-lock --uid=stranger flock -x "$conf" sleep 600
    await "a stranger holds an flock on the configuration" inside sh -c "! flock -n $conf true"
    expect "systemctl reload murox while a stranger locks the configuration" inside systemctl reload murox.service
    inside murox --remote -e "xdll -a extra $sample" -e "xdll -d extra" >/dev/null 2>&1 &&
        ! inside grep -q '^\[extdll extra\]' "$conf" &&
        ok "xdll -a and xdll -d while a stranger locks the configuration" || bad "xdll -a / -d beside a stranger's lock"
    inside touch "$conf.tmp-0123456789abcdef"
    inside systemctl restart murox.service
    await "the daemon restarts while a stranger locks the configuration" listing
    inside systemctl stop stranger-lock.service
    journal=$(inside journalctl -b -u murox.service --no-pager -o cat -n 20)
    ! inside test -e "$conf.tmp-0123456789abcdef" &&
        grep -q "$conf: removed 1 temporary file(s) left by an interrupted rewrite" <<<"$journal" &&
        ok "the daemon removed what a killed rewrite left, and said so" ||
        { bad "a killed rewrite's temporary file at start"; sed 's/^/    /' <<<"$journal"; }
    # Another user's configuration, readable by the daemon's group: the
    # daemon, root with CAP_CHOWN only, rewrites it with its owner and mode.
    inside chown stranger:murox "$conf" && inside chmod 640 "$conf"
    inside murox --remote -e "xdll -a extra $sample" >/dev/null 2>&1
    modes=$(inside stat -c '%U:%G %a' "$conf")
    [ "$(status extra)" = LOADED ] && [ "$modes" = "stranger:murox 640" ] &&
        inside grep -q '^\[extdll extra\]' "$conf" &&
        ok "xdll -a rewrites a configuration of another user's, keeping stranger:murox 640" ||
        { bad "xdll -a on a configuration of another user's: '$modes'"; inside journalctl -b -u murox.service -n 5 --no-pager -o cat; }
    inside murox --remote -e "xdll -d extra" >/dev/null 2>&1
    inside chown root:root "$conf" && inside chmod 644 "$conf"
    # A murox shell of root's holds the configuration: the daemon, which
    # cannot see it in /proc (ProtectProc=invisible hides what it could not
    # trace: the shell is in another group), names it from the record in
    # the lock file, and does not start.
    inside systemctl stop murox.service
    inside systemd-run --quiet --unit=murox-shell sh -c "sleep 600 | murox"
    await "a murox shell holds the configuration" \
        inside sh -c 'f=$(ls /run/murox/config-*.lock) && ! flock -n "$f" true'
    # The daemon is stopped: the one process named murox is the shell.
    holder=$(inside sh -c 'grep -lx murox /proc/[0-9]*/comm' | cut -d/ -f3)
    inside systemctl start murox.service
    await "the daemon refuses to start beside the shell, naming it" \
        store_journal_has "murox: $conf is in use by murox pid $holder\$" ||
        inside journalctl -b -u murox.service --no-pager -o cat | grep "in use" | sed 's/^/    /'
    # The restart that follows (Restart=on-failure) finds the shell's lock
    # still in place, and no daemon serves beside the shell.
    await "the daemon's restart is refused too" \
        store_journal_has "murox: $conf is in use by murox pid $holder\$" 2
    listing >/dev/null 2>&1 && bad "a daemon serves beside the murox shell" ||
        ok "no daemon serves beside the murox shell"
    inside systemctl stop murox-shell.service murox.service
    inside systemctl reset-failed murox.service
    inside systemctl start murox.service
    await "the daemon starts once the shell has ended" listing
}
check_store_under_unit

# Upgrade to the next version: the daemon runs the new program, the
# operator's edit stays.
wait "$next_build" || { tail -n 30 "$work/next.log"; die "building the next version failed"; }
# Into the running system's tree, which is a folder here.
cp "$work/debs/next"/*.deb "$root/root/debs/next/" || die "no packages of the next version"
mapfile -t next < <(debs next)
pid=$(mainpid)
expect "apt-get install upgrades the three packages to $next_deb_version" \
    inside apt-get install -y -q --no-install-recommends -o Dpkg::Options::=--force-confold "${next[@]}"
versions=$(inside dpkg-query -W -f '${Version} ' libmurox1 libmurox-dev murox-host)
[ "$versions" = "$next_deb_version $next_deb_version $next_deb_version " ] && ok "installed: $versions" ||
    bad "installed versions '$versions', not $next_deb_version"
await "the upgraded daemon answers" listing
newpid=$(mainpid)
exe=$(inside readlink "/proc/$newpid/exe")
if [ "$newpid" != "$pid" ] && [ "$newpid" != 0 ] && [ "$exe" = /usr/bin/murox ] &&
    ! inside grep -q '(deleted)' "/proc/$newpid/maps" &&
    inside grep -q "libMUROX.so.$next_version\$" "/proc/$newpid/maps"; then
    ok "the daemon was restarted onto the new program and library ($pid -> $newpid)"
else
    bad "after the upgrade the daemon is $newpid (was $pid), running '$exe'"
    inside grep -E 'deleted|libMUROX' "/proc/$newpid/maps" | sed 's/^/    /'
fi
[ "$(inside sed -n '/^\[extdll idle\]/,/^load/p' /etc/murox/murox.conf | tail -n 1)" = "load = 1" ] &&
    [ "$(status idle)" = LOADED ] && ok "the upgrade kept the operator's edit to murox.conf" ||
    bad "the upgrade lost the operator's edit to murox.conf"
[ "$(inside systemctl is-enabled murox.service 2>&1)" = enabled ] && ok "still enabled after the upgrade" ||
    bad "not enabled after the upgrade"
# A version with a Debian revision keeps its changelog where Debian's
# tools look for such a one.
inside test -f /usr/share/doc/murox-host/changelog.Debian.gz &&
    ! inside test -e /usr/share/doc/murox-host/changelog.gz &&
    ok "$next_deb_version's changelog is changelog.Debian.gz" ||
    bad "$next_deb_version's changelog is not changelog.Debian.gz alone"
# An administrator's "systemctl disable" stands when the package is
# configured again.
inside systemctl disable --quiet murox.service
expect "apt-get reinstall of murox-host" \
    inside apt-get install -y -q --reinstall -o Dpkg::Options::=--force-confold \
    "$(printf '%s\n' "${next[@]}" | grep /murox-host_)"
[ "$(inside systemctl is-enabled murox.service 2>&1)" = disabled ] &&
    ok "a disabled daemon stays disabled across a reinstall" ||
    bad "the reinstall enabled the daemon again: $(inside systemctl is-enabled murox.service 2>&1)"
inside systemctl enable --quiet murox.service

# A daemon built against the installed libmurox-dev, through CMake and
# through pkg-config.
if inside apt-get install -y -q --no-install-recommends g++ make cmake pkg-config >"$work/tools.log" 2>&1; then
    for way in cmake pkg-config; do
        out=$(inside sh -c "cmake -S /root/consumer -B /root/consumer-$way -DMUROX_CONSUME=$way \
                           -DMUROX_FRAMEWORK=/usr/lib/$multiarch/murox/libkaf.so \
                           -DMUROX_EXPECTED_VERSION=$next_version >/dev/null &&
                         cmake --build /root/consumer-$way >/dev/null && /root/consumer-$way/daemon" 2>&1)
        # /lib is /usr/lib in a merged system: the linker may name either.
        grep -Eq "^libMUROX from (/usr)?/lib/$multiarch/libMUROX\\.so\\.$major\$" <<<"$out" &&
            ok "a daemon built against libmurox-dev with $way runs" ||
            { bad "a daemon built against libmurox-dev with $way"; sed 's/^/    /' <<<"$out"; }
    done
else
    tail -n 20 "$work/tools.log"
    bad "cannot install the compiler inside"
fi

# Removal stops the daemon and keeps the configuration; purge leaves
# nothing of the packages but the group.
# What the packages installed, "d PATH" for a folder, "f PATH" otherwise.
mapfile -t files < <(inside sh -c 'for path in $(dpkg-query -L libmurox1 libmurox-dev murox-host | sort -u); do
                                   if [ -d "$path" ]; then echo "d $path"; else echo "f $path"; fi
                               done')
pid=$(mainpid)
expect "apt-get remove murox-host" inside apt-get remove -y -q murox-host
if [ "$(inside systemctl is-active murox.service)" != active ] && ! inside test -e "/proc/$pid"; then
    ok "the removal stopped the daemon"
else
    bad "the daemon $pid still runs after the removal"
fi
# The unit file is gone, and systemd was told: the unit, still wanted by
# the enabled target, is not kept loaded from a file that is no more.
unit=$(inside systemctl show -p LoadState -p NeedDaemonReload murox.service | sort | tr '\n' ' ')
[ "$unit" = "LoadState=not-found NeedDaemonReload=no " ] &&
    ok "the removal left systemd without the unit" ||
    bad "the removal left systemd with a stale unit: $unit"
inside test -f /etc/murox/murox.conf && ! inside test -e /usr/bin/murox &&
    ok "the removal kept /etc/murox/murox.conf" || bad "the removal did not keep only the configuration"
expect "apt-get purge of the three packages" inside apt-get purge -y -q murox-host libmurox-dev libmurox1
left=()
for entry in "${files[@]}" "d /etc/murox" "d /run/murox" \
    "f /etc/systemd/system/multi-user.target.wants/murox.service" \
    "f /var/lib/systemd/deb-systemd-helper-enabled/murox.service.dsh-also" \
    "f /var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/murox.service"; do
    path=${entry#? }
    # Folders of the system's own, such as /usr/share/doc, stay.
    [[ $entry == d* && ! $path =~ murox|MUROX ]] && continue
    inside test -e "$path" -o -L "$path" && left+=("$path")
done
[ ${#left[@]} -eq 0 ] && ok "the purge left nothing of the packages" || bad "the purge left ${left[*]}"
inside getent group murox >/dev/null && ok "the purge kept the group murox" || bad "the purge removed the group murox"

finish_newcomer
[ "$failed" -eq 0 ]
