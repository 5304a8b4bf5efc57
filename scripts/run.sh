#!/usr/bin/env bash
# Installs what is missing, builds a release build and starts Vortana.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORTANA_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec build/release/bin/vortana "$@"
else
  echo "No display found: starting Vortana under xvfb-run (a virtual X server)."
  exec xvfb-run -a -s "-screen 0 1024x768x24" build/release/bin/vortana "$@"
fi
