#!/usr/bin/env bash
# What the newcomer's scripts say when the host's packages are missing, without a Debian system:
# install-deps.sh as a user where dpkg lacks libedit-dev, one line on stderr naming it and its command,
# status 1, and as root installing it alone; README.md naming the same packages; ./murox.sh as a user
# without cmake, make or a compiler naming the host's packages alone; ./murox.sh where pkg-config
# finds no library, its output starting at CMake's error, whose one line names libedit's package.
# Usage: CheckScripts.sh SOURCE_DIR WORK_DIR
set -uo pipefail
source_dir=$1 work=$2 deps=$1/cmake/install-deps.sh
# shellcheck source=Checks.sh
source "$(dirname "$0")/Checks.sh"

rm -rf "$work"
mkdir -p "$work/bin" "$work/no-tools" "$work/no-pkgconfig" "$work/tree"
# A dpkg-query that knows every package as installed but libedit-dev, an apt-get that notes its calls.
printf '#!/bin/sh\ncase "$*" in *libedit-dev) ;; *) echo install ok installed ;; esac\n' >"$work/bin/dpkg-query"
printf '#!/bin/sh\necho "apt-get $*" >>"%s"\n' "$work/apt-get.calls" >"$work/bin/apt-get"
chmod 755 "$work/bin/"*

# install-deps.sh as a user (nobody, when root runs this, from a copy anyone can read).
as_user=() public=$work/bin
if [ "$(id -u)" -eq 0 ]; then
    as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
    public=$(mktemp -d) && trap 'rm -rf "$public"' EXIT
    cp "$work/bin/dpkg-query" "$public/"
    is "install-deps.sh run by root installs libedit-dev alone" \
        "apt-get update apt-get install -y --no-install-recommends libedit-dev" \
        eval 'PATH="$work/bin:$PATH" "$deps" host >/dev/null && paste -sd" " "$work/apt-get.calls"'
fi
cp "$deps" "$public/" && chmod -R a+rX "$public"
out=$("${as_user[@]}" env PATH="$public:$PATH" "$public/install-deps.sh" host 2>&1 >/dev/null)
is "install-deps.sh, not root, without libedit-dev" \
    "1 missing packages; as root: apt-get install libedit-dev" echo "$? $out"
# What README.md has a user who is not root install is what install-deps.sh installs for the host.
packages=$("$deps" --list host)
is "README.md names the host's packages" "$packages" \
    sed -n 's/^    apt-get install //p' "$source_dir/README.md"

# murox.sh run by a user who lacks the tools names the host's packages alone, in one line.
ln -s "$(command -v bash)" "$(command -v dirname)" "$work/no-tools/"
printf '#!/bin/sh\necho 1000\n' >"$work/no-tools/id" && chmod 755 "$work/no-tools/id"
out=$(PATH="$work/no-tools" "$source_dir/murox.sh" -e xdll 2>&1 >/dev/null)
is "murox.sh, not root, without cmake, make or a compiler" \
    "1 murox.sh: missing cmake make g++; as root: apt-get install $packages" echo "$? $out"

# murox.sh in a tree of links, whose build folder is the tree's own, where pkg-config finds nothing.
for entry in "$source_dir"/* "$source_dir"/.clang*; do
    case ${entry##*/} in build | murox.sh | '.clang*') ;; *) ln -s "$entry" "$work/tree/" ;; esac
done
cp "$source_dir/murox.sh" "$work/tree/murox.sh"
PKG_CONFIG_LIBDIR="$work/no-pkgconfig" "$work/tree/murox.sh" -e xdll >"$work/murox.out" 2>"$work/murox.err"
rc=$?
shown() {
    echo "$((rc != 0)) $(head -c 11 "$work/murox.err")" && cat "$work/murox.out" &&
        sed -n '/apt-get install/ s/^ *\(missing [a-z]*\).*: /\1: /p' "$work/murox.err"
}
is "murox.sh without libedit fails, CMake's error first, one line naming libedit and its package" \
    "$(printf '1 CMake Error\nmissing libedit: apt-get install libedit-dev')" shown || indent <"$work/murox.err"

[ "$failed" -eq 0 ]
