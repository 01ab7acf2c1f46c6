#!/usr/bin/env bash
# Makes docs/desktop-*.png again: the desktop end-to-end test (Xvfb, a
# notification area, minidlna and gmediarender in a private network) keeps
# the pictures it takes of the main window, the player and the QR code.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DTOVALY_SANITIZE=ON >/dev/null
cmake --build build-test -j"$(nproc)" --target tovaly tovaly-cli desktop_e2e
cd build-test
TOVALY_SHOTS="$PWD/../docs" ctest -R interop_desktop --output-on-failure
