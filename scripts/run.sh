#!/usr/bin/env bash
# Installs what is needed, builds, and shares the default folder on the home
# network: the desktop program where there is a display, else the console
# program until Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVALY_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec build/bin/tovaly --show "$@"
fi
exec build/bin/tovaly-cli serve "$@"
