#!/usr/bin/env bash
# Soak benchmark: tovaly-cli serve under paused, active and ranged downloads, Browse clients and peers that
# come and go, for SECONDS (default 600) in private network namespaces; prints progress, then the figures.
#   bash bench/soak.sh [SECONDS]     (as root; ~1.3 GiB of temporary files; exit 1 when any error was seen)
# TOVALY_SOAK_BUILD names the build folder (default build-soak); SOAK_ACTIVE_MIBS the rate of each active
# download (default 24, 0 for unlimited).
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-600}
build=${TOVALY_SOAK_BUILD:-build-soak}
[ -f "$build/CMakeCache.txt" ] ||
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVALY_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target tovaly-cli >/dev/null
rc=0
tests/interop/netns.sh run2 /usr/bin/python3 bench/soak.py "$build/bin/tovaly-cli" "$secs" || rc=$?
[ "$rc" = 77 ] && echo "skipped: no private network namespace could be made" >&2
exit "$rc"
