#!/usr/bin/env bash
# A newcomer's first runs in a clean bookworm: root installs only what README.md names, a user
# runs ./murox.sh -e xdll from a copy of the tree: without libedit-dev it stops, leaving a half-made
# folder; with it, it mends the folder, builds, lists the samples. ./test.sh names what it lacks.
# Usage: CheckNewcomer.sh SOURCE_DIR TARBALL ARCHIVES WORK
#   TARBALL   the system (made by CheckDistro.sh)
#   ARCHIVES  apt's downloaded packages, kept from one run to the next
#   WORK      made anew
set -uo pipefail

source_dir=$1 tarball=$2 archives=$3 work=$4
root=$work/root log=$work/newcomer.log
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
# must WHAT COMMAND...: the command succeeds, its output kept in the log; else the check stops.
must() {
    local what=$1
    shift
    "$@" >>"$log" 2>&1 || { tail -n 20 "$log" | indent; die "$what"; }
}

rm -rf "$work"
mkdir -p "$root" "$archives/partial"
must "cannot unpack $tarball" tar -C "$root" -xzf "$tarball"
cp /etc/resolv.conf "$root/etc/resolv.conf"

# What README.md has a user who is not root install (CheckScripts.sh: what install-deps.sh installs).
read -r -a packages < <(sed -n 's/^    apt-get install //p' "$source_dir/README.md" | head -n 1)
[[ " ${packages[*]} " == *" libedit-dev "* ]] || die "README.md names no libedit-dev to install"
read -r -a without <<<"${packages[*]/libedit-dev/}"
must "apt-get update failed" sys apt-get update -q
must "cannot install ${without[*]}" sys apt-get install -y -q --no-install-recommends "${without[@]}"
must "cannot make the user newcomer" sys sh -c 'useradd --create-home --shell /bin/bash newcomer &&
    runuser -u newcomer -- mkdir /home/newcomer/murox'
# The tree as a clone has it, written by the user.
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . |
    sys runuser -u newcomer -- tar -C /home/newcomer/murox -xf - || die "cannot copy the tree"

# Without libedit-dev murox.sh stops (what it says is build.scripts' to check), leaving the folder
# half-made; with it, that folder is mended: the host starts with the samples, the failing ones named.
out=$(newcomer "./murox.sh -e xdll" 2>&1)
is "without libedit-dev, murox.sh stops, leaving a half-made build folder (a cache, no Makefile)" \
    "1 CMakeCache.txt" echo "$(($? != 0))" "$(cd "$root/home/newcomer/murox/build/host" &&
        ls CMakeCache.txt Makefile 2>/dev/null)" || indent <<<"$out"
must "cannot install libedit-dev" sys apt-get install -y -q --no-install-recommends libedit-dev
listing="hello=LOADED,broken=FAILED TO INITIALIZE/REGISTER,missing=FAILED TO LOAD,idle=NOT LOADED"
note='murox.sh: build/host/host/murox.conf loads the samples "broken" and "missing", which fail to load on purpose, to show how failures look'
out=$(newcomer "./murox.sh -e xdll" 2>"$work/run.err")
is "with libedit-dev, murox.sh builds and starts the host, the failing samples named as such" \
    "0 $listing 1" echo "$? $(statuses <<<"$out") $(grep -cxF "$note" "$work/run.err")" ||
    tail -n 20 "$work/run.err" | indent

# ./test.sh run by the newcomer fails before building anything, naming libgtest-dev to install (how
# install-deps.sh names what lacks, build.scripts checks).
out=$(newcomer "./test.sh native" 2>&1)
is "./test.sh stops, naming libgtest-dev, building nothing (build/ holds murox.sh's host alone)" "1 1 host" \
    echo "$(($? != 0))" "$(grep -c 'apt-get install.* libgtest-dev' <<<"$out")" "$(ls "$root/home/newcomer/murox/build")" ||
    indent <<<"$out"

echo "newcomer: $passed passed, $failed failed, $((SECONDS - started)) s"
[ "$failed" -eq 0 ]
