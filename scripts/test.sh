#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test suite with ctest; then builds
# the Debian package from a release build and checks it (scripts/package-check.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORTANA_SANITIZE=ON -DVORTANA_TESTS=ON >/dev/null
cmake --build build/test -j "$(nproc)"
(cd build/test && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)" "$@")
deb=$(bash scripts/package.sh | tail -1)
bash scripts/package-check.sh "$deb"
