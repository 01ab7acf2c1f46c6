#!/usr/bin/env bash
# Installs what is needed, builds under AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test (unit and interop).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DTOVALY_SANITIZE=ON >/dev/null
cmake --build build-test -j"$(nproc)"
cd build-test
ctest --output-on-failure --timeout 600 "$@"
