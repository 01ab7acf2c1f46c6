#!/usr/bin/env bash
# Builds the release binary and prints tovaly vs minidlna timings on a
# generated data set, inside a private network namespace.
#   bash bench/run.sh            (as root; about a minute, ~1 GiB of disk)
set -euo pipefail
cd "$(dirname "$0")/.."
command -v minidlnad >/dev/null || scripts/install-deps.sh
cmake -S . -B build -DTOVALY_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" >/dev/null

data=$(mktemp -d /tmp/tovaly-bench-data.XXXXXX)
trap 'rm -rf "$data"' EXIT
echo "generating the data set in $data ..." >&2
/usr/bin/python3 bench/compare_servers.py make-data "$data"
sleep 2  # let the folders age past the listing cache's one-second guard
rc=0
tests/interop/netns.sh run /usr/bin/python3 bench/compare_servers.py measure build/bin/tovaly-cli "$data" || rc=$?
[ "$rc" = 77 ] && echo "skipped: no private network namespace could be made" >&2
exit 0
