#!/usr/bin/env bash
# What the newcomer's scripts say when the host's packages are missing, without a Debian system:
# install-deps.sh as a user where dpkg lacks libedit-dev, one line naming it and its command, status
# 1, and as root installing it alone; README.md naming the same packages; ./murox.sh as a user without
# cmake, make or a compiler naming the host's packages alone; ./murox.sh where pkg-config finds no library, output starting at CMake's one-line error.
# Usage: CheckScripts.sh SOURCE_DIR WORK_DIR
set -uo pipefail
source_dir=$1
work=$2
# shellcheck source=Checks.sh
source "$(dirname "$0")/Checks.sh"

rm -rf "$work"
mkdir -p "$work/bin" "$work/no-pkgconfig"
chmod 755 "$work" "$work/bin"

# A dpkg-query that knows every package as installed but libedit-dev.
cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
for arg; do package=$arg; done
[ "$package" = libedit-dev ] && exit 1
printf 'install ok installed'
EOF
chmod 755 "$work/bin/dpkg-query"

# install-deps.sh as nobody, run by root from a folder nobody can read.
as_user=()
deps=$source_dir/cmake/install-deps.sh
if [ "$(id -u)" -eq 0 ]; then
    as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
    public=$(mktemp -d)
    trap 'rm -rf "$public"' EXIT
    mkdir "$public/bin"
    cp "$source_dir/cmake/install-deps.sh" "$work/bin/dpkg-query" "$public/bin/"
    chmod -R a+rX "$public"
    deps=$public/bin/install-deps.sh
fi
"${as_user[@]}" env PATH="$(dirname "$deps"):$work/bin:$PATH" "$deps" host \
    >"$work/deps.out" 2>"$work/deps.err"
rc=$?
err=$(cat "$work/deps.err")
if [ "$rc" -eq 1 ] && [ "$(wc -l <"$work/deps.err")" -eq 1 ] && [[ $err == *"apt-get install libedit-dev" ]] &&
    [ ! -s "$work/deps.out" ]; then
    ok "install-deps.sh, not root, without libedit-dev: $err"
else
    bad "install-deps.sh, not root, without libedit-dev, exits $rc, saying on stderr:"
    indent <"$work/deps.err"
fi

# Run by root, it installs what lacks and nothing else (apt-get a recording stand-in).
if [ "$(id -u)" -eq 0 ]; then
    printf '#!/bin/sh\necho "apt-get $*" >>"%s"\n' "$work/apt-get.calls" >"$work/bin/apt-get"
    chmod 755 "$work/bin/apt-get"
    is "install-deps.sh run by root installs libedit-dev alone" \
        "apt-get update apt-get install -y --no-install-recommends libedit-dev" \
        eval 'PATH="$work/bin:$PATH" "$source_dir/cmake/install-deps.sh" host >/dev/null && paste -sd" " "$work/apt-get.calls"'
fi
# What README.md has a user who is not root install is what install-deps.sh installs for the host.
is "README.md names the host's packages" "$("$source_dir/cmake/install-deps.sh" --list host)" \
    sed -n 's/^    apt-get install //p' "$source_dir/README.md"

# murox.sh run by a user who lacks the tools names the host's packages alone, in one line.
mkdir "$work/no-tools"
ln -s "$(command -v bash)" "$(command -v dirname)" "$work/no-tools/"
printf '#!/bin/sh\necho 1000\n' >"$work/no-tools/id"
chmod 755 "$work/no-tools/id"
is "murox.sh, not root, without cmake, make or a compiler" \
    "1 murox.sh: missing cmake make g++; as root: apt-get install $("$deps" --list host)" \
    eval 'err=$(PATH="$work/no-tools" "$source_dir/murox.sh" -e xdll 2>&1 >/dev/null); echo "$? $err"'

# murox.sh in a tree of links: its build folder is the tree's own.
mkdir "$work/tree"
for entry in "$source_dir"/* "$source_dir"/.clang*; do
    name=$(basename "$entry")
    case $name in build | murox.sh | '.clang*') continue ;; esac
    ln -s "$entry" "$work/tree/$name"
done
cp "$source_dir/murox.sh" "$work/tree/murox.sh"
PKG_CONFIG_LIBDIR="$work/no-pkgconfig" "$work/tree/murox.sh" -e xdll >"$work/murox.out" 2>"$work/murox.err"
rc=$?
first=$(head -n 1 "$work/murox.err")
message=$(sed -n '2,$p' "$work/murox.err" | grep -m 1 -v '^[[:space:]]*$' | sed 's/^[[:space:]]*//')
installs=$(grep -c 'apt-get install' "$work/murox.err")
if [ "$rc" -ne 0 ] && [[ $first == "CMake Error"* ]] && [ "$installs" -eq 1 ] &&
    [[ $message == "missing libedit"*": apt-get install libedit-dev" ]] && [ ! -s "$work/murox.out" ]; then
    ok "murox.sh without libedit: $first / $message"
else
    bad "murox.sh without libedit exits $rc, saying on stderr:"
    indent <"$work/murox.err"
fi

[ "$failed" -eq 0 ]
