#!/usr/bin/env bash
# Installs what building and testing need on Debian 12: compilers for this
# machine and for 32-bit PowerPC, the emulator that runs the PowerPC tests,
# GoogleTest, Google Benchmark, clang with libFuzzer, and the checkers
# (cmake-format for the CMake files' layout, abigail-tools for the ABI
# baselines, lintian and systemd-analyze for the packages), libedit for the
# console and tmux for its terminal test, python3 and setpriv (util-linux)
# for the daemon's end-to-end test, the locale sources (locales) that the
# PowerPC console test makes its UTF-8 locale from, man-db for the manual
# pages' check, debootstrap and systemd-nspawn (systemd-container) for the
# packages' test in a booted Debian system.
set -euo pipefail

packages=(
    cmake make g++ binutils
    g++-powerpc-linux-gnu qemu-user
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev clang-format clang-tidy cmake-format
    gcovr dpkg-dev file pkg-config
    abigail-tools lintian systemd
    libedit-dev tmux
    python3 util-linux locales
    man-db debootstrap systemd-container
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}" >&2
    echo "install them as root: apt-get install ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
