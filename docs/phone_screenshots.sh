#!/usr/bin/env bash
# Screenshots of the phone page for the README: installs headless Chromium
# when missing, builds, and runs the server and the browser inside a private
# network namespace (the media are made with ffmpeg from install-deps).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
if ! command -v chromium >/dev/null; then
  apt-get install -y -qq --no-install-recommends chromium >/dev/null
fi
cmake -S . -B build -DTOVALY_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
tests/interop/netns.sh run /usr/bin/python3 docs/phone_screenshots.py build/bin/tovaly-cli
