#!/usr/bin/env bash
# What reading metadata costs: per file through the tovaly-meta helper (MP3,
# MP4, JPEG; facts on one and two helpers, thumbnails) and per cached answer
# (SQLite, memory). Builds a release build in build-bench/ first.
#
#   bash bench/metadata_bench.sh [FILES]   (200 files of each kind by default)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j"$(nproc)" --target metadata_bench tovaly-meta >/dev/null
build-bench/tests/library/metadata_bench build-bench/bin/tovaly-meta "${1:-200}"
