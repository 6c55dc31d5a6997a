#!/usr/bin/env bash
# Builds the murox host (the preset "host": the library, the host and its
# samples, no tests) and runs it on the development configuration,
# passing every argument through:
#   ./murox.sh                 an interactive session ("help", "xdll", "quit")
#   ./murox.sh -e xdll         list the extension libraries and exit
#   ./murox.sh --daemon        serve consoles on the control socket
#   ./murox.sh --remote        a console to that daemon, from another terminal
# It needs a compiler, make, cmake, pkg-config, libedit and nlohmann-json;
# run as root, it first installs those that are missing
# (cmake/install-deps.sh host).
# Anyone else is told in one line what to install. The development
# configuration (build/host/host/murox.conf) is written when the folder is
# first configured; "xdll -a" and "xdll -d" change it. Its samples "broken"
# and "missing" fail to load on purpose.
set -euo pipefail
cd "$(dirname "$0")"

if [ "$(id -u)" -eq 0 ]; then
    cmake/install-deps.sh host >&2
fi
missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v make >/dev/null || missing+=(make)
command -v "${CXX:-c++}" >/dev/null || missing+=(g++)
if [ ${#missing[@]} -ne 0 ]; then
    echo "murox.sh: missing ${missing[*]}; as root: apt-get install $(cmake/install-deps.sh --list host)" >&2
    exit 1
fi
# Configured every time: a folder that an earlier run left half-made (a
# configure that stopped on a missing library) is made whole, and one that
# is whole is only checked, in a moment. Only a failure is shown: its
# first line names what is missing and the command that installs it.
log=$(mktemp)
if ! cmake --preset host >"$log" 2>&1; then
    if grep -q '^CMake Error' "$log"; then sed -n '/^CMake Error/,$p' "$log" >&2; else cat "$log" >&2; fi
    rm -f "$log"
    exit 1
fi
rm -f "$log"
cmake --build --preset host -j "$(nproc 2>/dev/null || echo 2)" >&2

# The failing samples of the development configuration are named before
# the lines they cause, so that nobody takes them for a broken build.
conf=build/host/host/murox.conf
loads_conf=true
for arg in "$@"; do
    case $arg in
    --config | --config=* | --remote | --help | --version | -V) loads_conf=false ;;
    esac
done
failing=$(sed -n 's/^\[extdll \(broken\|missing\)\]$/\1/p' "$conf" | sed 's/^/"/; s/$/"/' |
    paste -sd' ' | sed 's/ / and /')
if $loads_conf && [ -n "$failing" ]; then
    echo "murox.sh: $conf loads the samples $failing, which fail to load on purpose, to show how failures look" >&2
fi
exec build/host/host/program/murox "$@"
