#!/bin/bash
# Photographs each page of the window at 600 x 502 and 1000 x 800.
# Run it under Xvfb (needs xdotool and imagemagick):
#   xvfb-run -a -s "-screen 0 1280x1024x24" scripts/window-screenshots.sh build/test/bin/vortana /tmp/shots
# TABY is the tab bar's distance from the window's foot (212 at the 16 px font).
BIN=$1; OUT=$2; TABY=${3:-212}
export VORTANA_CONFIG_HOME=$(mktemp -d)
$BIN & PID=$!
WID=$(xdotool search --sync --name "Quillon" | head -1)
sleep 1
for size in "600 502" "1000 800"; do
  set -- $size
  xdotool windowsize $WID $1 $2; xdotool windowmove $WID 0 0; sleep 0.5
  for page in 0 1 2 3; do
    X=$((50 + page * 92)); Y=$(( $2 - TABY ))
    xdotool mousemove $X $Y click 1; sleep 0.4
    import -window root -crop ${1}x${2}+0+0 $OUT/page${page}_${1}x${2}.png
  done
done
kill $PID
