#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test suite with ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORTANA_SANITIZE=ON -DVORTANA_TESTS=ON >/dev/null
cmake --build build/test -j "$(nproc)"
cd build/test
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)" "$@"
