#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, or, run by a user
# who is not root, names in one line what is missing and the command that
# installs it (status 1).
#   cmake/install-deps.sh         everything ./test.sh needs
#   cmake/install-deps.sh host    what ./murox.sh needs: the host alone
#   cmake/install-deps.sh --list [host]   the packages, one line
# The host needs a compiler, make, cmake, pkg-config, libedit (the
# console's line editing), unicode-data (which characters a terminal is
# not given raw) and nlohmann-json (its JSON output). The tests add:
# compilers for 32-bit PowerPC, the emulator that runs the PowerPC tests,
# GoogleTest, Google Benchmark,
# clang with libFuzzer, and the checkers (cmake-format for the CMake files'
# layout, abigail-tools for the ABI baselines, lintian and systemd-analyze
# for the packages, dpkg-dev for cpack), tmux and ss (iproute2) for the
# console's terminal test, python3 and setpriv (util-linux) for the
# daemon's end-to-end test, the locale sources (locales) that the PowerPC
# console test makes its UTF-8 locale from, man-db for the manual pages'
# check, debootstrap and systemd-nspawn (systemd-container) for the
# packages' test in a booted Debian system.
set -euo pipefail

host=(g++ make cmake pkg-config libedit-dev unicode-data nlohmann-json3-dev)
tests=(
    binutils
    g++-powerpc-linux-gnu qemu-user
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev clang-format clang-tidy cmake-format
    gcovr dpkg-dev file
    abigail-tools lintian systemd
    tmux iproute2
    python3 util-linux locales
    man-db debootstrap systemd-container
)

list=false
[ "${1:-}" = --list ] && { list=true; shift; }
case ${1:-} in
host) packages=("${host[@]}") ;;
"") packages=("${host[@]}" "${tests[@]}") ;;
*) echo "usage: $0 [--list] [host]" >&2; exit 2 ;;
esac
if $list; then
    echo "${packages[*]}"
    exit 0
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages; as root: apt-get install ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
