#!/usr/bin/env bash
# Photographs the real window for the AppStream metainfo (ISP page, 1000 x 800).
# Needs xdotool and imagemagick; run it under Xvfb:
#   xvfb-run -a -s "-screen 0 1280x1024x24" packaging/take-screenshot.sh build/package/bin/vortana packaging/screenshots/vortana-isp.png
set -euo pipefail
BIN=$1; OUT=$2
export VORTANA_CONFIG_HOME=$(mktemp -d)
"$BIN" & PID=$!
WID=$(timeout 20 xdotool search --sync --onlyvisible --class vortana | head -1)
sleep 2
xdotool windowsize "$WID" 1000 800; xdotool windowmove "$WID" 0 0; sleep 1
import -window root -crop 1000x800+0+0 "$OUT"
kill "$PID"; wait "$PID"
rm -rf "$VORTANA_CONFIG_HOME"
