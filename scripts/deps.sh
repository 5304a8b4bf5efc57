#!/usr/bin/env bash
# Installs what building, running and testing Vortana needs and is missing.
# Debian 12; run as root (or with sudo available).
set -euo pipefail
need=(g++ cmake ninja-build pkg-config qt6-base-dev qt6-qpa-plugins libgtest-dev
      fonts-wqy-microhei xvfb xauth sharutils stm32flash lpc21isp qt6-translations-l10n
      qt6-charts-dev libqt6opengl6-dev lrzsz socat)
# The Modbus tests' independent device and the pty pair it sits on.
need+=(libmodbus-dev)
# Building and checking the Debian package (scripts/package.sh, package-check.sh).
need+=(dpkg-dev file lintian desktop-file-utils appstream man-db bash-completion)
# The fuzzing harnesses (tests/fuzz/run.sh): clang with libFuzzer.
need+=(clang libfuzzer-14-dev)
# Photographing the window and the live plot (scripts/window-screenshots.sh).
need+=(xdotool imagemagick)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
