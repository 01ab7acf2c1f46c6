#!/usr/bin/env bash
# Installs what is needed, builds under AddressSanitizer and
# UndefinedBehaviorSanitizer, builds the Debian package, and runs every test
# (unit and interop).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DTOVALY_SANITIZE=ON >/dev/null
cmake --build build-test -j"$(nproc)"
# The control point's threads once more under ThreadSanitizer.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTOVALY_TSAN=ON >/dev/null
cmake --build build-tsan -j"$(nproc)" --target controlpoint_tests
TSAN_OPTIONS="halt_on_error=1" build-tsan/tests/controlpoint/controlpoint_tests --gtest_brief=1
# Every parser of outside input under libFuzzer, for a bounded number of inputs.
scripts/fuzz.sh --all 20000
# The Debian package, which the package test takes apart.
scripts/package.sh
cd build-test
ctest --output-on-failure --timeout 600 "$@"
