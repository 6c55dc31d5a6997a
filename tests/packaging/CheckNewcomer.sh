#!/usr/bin/env bash
# A newcomer's first runs in a clean bookworm: root installs only what README.md names, a user
# runs ./murox.sh -e xdll from a copy of the tree: without libedit-dev it stops, leaving a half-made
# folder; with it, twice, it mends the folder, builds, lists the samples.
# Usage: CheckNewcomer.sh SOURCE_DIR TARBALL ARCHIVES WORK
#   TARBALL   the system (made by CheckDistro.sh)
#   ARCHIVES  apt's downloaded packages, kept from one run to the next
#   WORK      made anew
set -uo pipefail

source_dir=$1 tarball=$2 archives=$3 work=$4
root=$work/root
started=$SECONDS

label="newcomer: "
# shellcheck source=Checks.sh
source "$source_dir/tests/packaging/Checks.sh"

# sys COMMAND...: COMMAND as root in the system, in namespaces of its own so that no mount outlives
# it, with a /proc and apt's cache under ARCHIVES.
sys() {
    unshare --mount --pid --fork --kill-child --propagation private -- sh -c '
        root=$1 archives=$2
        shift 2
        mount --bind "$archives" "$root/var/cache/apt/archives" && mount -t proc proc "$root/proc" &&
            exec chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
                DEBIAN_FRONTEND=noninteractive "$@"' sh "$root" "$archives" "$@"
}
# newcomer COMMAND: the shell command in the tree's copy as user newcomer, in a plain environment.
newcomer() {
    sys runuser -u newcomer -- env -i PATH=/usr/bin:/bin HOME=/home/newcomer LANG=C.UTF-8 \
        bash -c "cd ~/murox && $1"
}

rm -rf "$work"
mkdir -p "$root" "$archives/partial"
tar -C "$root" -xzf "$tarball" || die "cannot unpack $tarball"
cp /etc/resolv.conf "$root/etc/resolv.conf"

# What README.md has a user who is not root install (CheckScripts.sh: what install-deps.sh installs).
read -r -a packages < <(sed -n 's/^    apt-get install //p' "$source_dir/README.md" | head -n 1)
[[ " ${packages[*]} " == *" libedit-dev "* ]] || die "README.md names no libedit-dev to install"
read -r -a without <<<"${packages[*]/libedit-dev/}"

sys apt-get update -q >"$work/apt.log" 2>&1 || { indent <"$work/apt.log"; die "apt-get update failed"; }
sys apt-get install -y -q --no-install-recommends "${without[@]}" >>"$work/apt.log" 2>&1 ||
    { tail -n 20 "$work/apt.log" | indent; die "cannot install ${without[*]}"; }
sys useradd --create-home --shell /bin/bash newcomer && sys runuser -u newcomer -- mkdir /home/newcomer/murox ||
    die "cannot make the user newcomer"
# The tree as a clone has it, written by the user.
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . |
    sys runuser -u newcomer -- tar -C /home/newcomer/murox -xf - || die "cannot copy the tree"

# Without libedit-dev murox.sh stops (what it says is build.scripts' to check), leaving the folder
# half-made.
out=$(newcomer "./murox.sh -e xdll" 2>&1)
rc=$?
folder=$root/home/newcomer/murox/build/host
if [ "$rc" -ne 0 ] && [ -f "$folder/CMakeCache.txt" ] && [ ! -f "$folder/Makefile" ]; then
    ok "without libedit-dev, murox.sh stops (exit $rc), leaving a half-made build folder (a cache, no Makefile)"
else
    bad "without libedit-dev, murox.sh exits $rc, leaving $(ls "$folder" 2>&1 | paste -sd' '), saying:"
    indent <<<"$out"
fi

sys apt-get install -y -q --no-install-recommends libedit-dev >>"$work/apt.log" 2>&1 ||
    { tail -n 20 "$work/apt.log" | indent; die "cannot install libedit-dev"; }

# Twice, from that folder: the host starts with the samples, the failing ones named as such.
listing="hello=LOADED,broken=FAILED TO INITIALIZE/REGISTER,missing=FAILED TO LOAD,idle=NOT LOADED"
note='murox.sh: build/host/host/murox.conf loads the samples "broken" and "missing", which fail to load on purpose, to show how failures look'
for run in first second; do
    out=$(newcomer "./murox.sh -e xdll" 2>"$work/$run.err")
    rc=$?
    if [ "$rc" -eq 0 ] && [ "$(statuses <<<"$out")" = "$listing" ] && grep -qxF "$note" "$work/$run.err"; then
        ok "the $run run with libedit-dev builds and starts the host, the failing samples named as such"
    else
        bad "the $run run with libedit-dev exits $rc, printing:"
        indent <<<"$out"
        tail -n 20 "$work/$run.err" | indent
    fi
done

# ./test.sh run by the newcomer names what is missing in one line and fails, building nothing.
out=$(newcomer "./test.sh native" 2>&1)
rc=$?
lines=$(grep 'apt-get install' <<<"$out")
if [ "$rc" -ne 0 ] && [ "$(wc -l <<<"$lines")" -eq 1 ] && [[ "$lines " == *" libgtest-dev "* ]] &&
    [[ "$lines " != *" libedit-dev "* ]] && [ ! -e "$root/home/newcomer/murox/build/native" ]; then
    ok "./test.sh stops (exit $rc), naming what it lacks in one line"
else
    bad "./test.sh run by the newcomer exits $rc, saying:"
    indent <<<"$out"
fi

echo "newcomer: $passed passed, $failed failed, $((SECONDS - started)) s"
[ "$failed" -eq 0 ]
