#!/usr/bin/env bash
# Screenshots of the phone page for the README: installs headless Chromium
# and GStreamer's command line (for a demo video) when missing, builds, and
# runs the server and the browser inside a private network namespace.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
for tool in chromium gst-launch-1.0; do
  if ! command -v "$tool" >/dev/null; then
    pkg=$([ "$tool" = chromium ] && echo chromium || echo gstreamer1.0-tools)
    apt-get install -y -qq --no-install-recommends "$pkg" fonts-dejavu-core >/dev/null
  fi
done
cmake -S . -B build -DTOVALY_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
tests/interop/netns.sh run /usr/bin/python3 docs/phone_screenshots.py build/bin/tovaly-cli
