#!/usr/bin/env bash
# Builds the Debian package from a release build of just what it holds:
#   bash scripts/package.sh          -> build/package/vortana_<version>_<arch>.deb
# Prints the package's path as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh >&2
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORTANA_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build build/package -j "${VORTANA_JOBS:-$(nproc)}" \
  --target vortana vortana-isp vortana-term iHexToBin vortana_packaging_files >&2
cd build/package
rm -f vortana_*.deb
cpack -G DEB >/dev/null
deb=$(ls "$PWD"/vortana_*.deb)
echo "$deb"
