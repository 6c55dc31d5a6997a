#!/usr/bin/env bash
# Builds the murox host with the native preset and runs it on the default
# configuration, passing every argument through:
#   ./murox.sh                 an interactive session ("help", "xdll", "quit")
#   ./murox.sh -e xdll         list the extension libraries and exit
#   ./murox.sh --daemon        serve consoles on the control socket
#   ./murox.sh --remote        a console to that daemon, from another terminal
# Run as root on a fresh machine, it first installs the packages the build
# needs. The build tree's configuration (build/native/host/murox.conf) is
# made when the tree is first configured; "xdll -a" and "xdll -d" change it.
set -euo pipefail
cd "$(dirname "$0")"

if [ "$(id -u)" -eq 0 ]; then
    cmake/install-deps.sh >&2
fi
if [ ! -f build/native/CMakeCache.txt ]; then
    cmake --preset native >&2
fi
cmake --build --preset native --target murox -j "$(nproc 2>/dev/null || echo 2)" >&2
exec build/native/host/program/murox "$@"
