#!/bin/bash
# Photographs each page of the window at 600 x 502 and 1000 x 800, then the
# live plot fed by a simulated board on a pseudo-terminal pair at 921600 bit/s,
# about 1,000 lines a second: name=value pairs, columns under a header, and a
# regular expression over free text.
# Run it under Xvfb (needs xdotool, imagemagick, socat and perl):
#   xvfb-run -a -s "-screen 0 1280x1024x24" scripts/window-screenshots.sh build/test/bin/vortana /tmp/shots
# TABY is the tab bar's distance from the window's foot (232 with the
# WenQuanYi Micro Hei font the package pulls in).
BIN=$1; OUT=$2; TABY=${3:-232}
mkdir -p "$OUT"
export VORTANA_CONFIG_HOME=$(mktemp -d)
trap 'kill $PID $SOCAT $BOARD 2>/dev/null; rm -rf "$VORTANA_CONFIG_HOME"' EXIT
$BIN & PID=$!
WID=$(timeout 20 xdotool search --sync --onlyvisible --class vortana | head -1)
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
kill $PID; wait $PID 2>/dev/null

# The live plot. The board's end of the pair is written to at its pace; the
# window opens the other end from the terminal page at 921600 bit/s.
PTY=$VORTANA_CONFIG_HOME/pty
socat pty,raw,echo=0,link=$PTY.board pty,raw,echo=0,link=$PTY.port & SOCAT=$!
for _ in $(seq 50); do [ -e $PTY.port ] && break; sleep 0.1; done
mkdir -p $VORTANA_CONFIG_HOME/Vortana/Software
printf '"BaudRate"=dword:00000011\r\n"PortName"="%s"\r\n' $PTY.port \
  > $VORTANA_CONFIG_HOME/Vortana/Software/Vortana.reg
VORTANA_EXTRA_PORTS=$PTY.port $BIN & PID=$!
WID=$(timeout 20 xdotool search --sync --onlyvisible --class vortana | head -1)
sleep 1
xdotool windowsize $WID 1000 800; xdotool windowmove $WID 0 0; sleep 0.5
xdotool mousemove 142 $((800 - TABY)) click 1; sleep 0.4   # terminal page
xdotool mousemove 95 717 click 1; sleep 0.4                  # open the port
# The receive area's menu: its last entry opens the plot.
xdotool mousemove 500 300 click 3; sleep 0.4; xdotool key Up Return
PW=$(timeout 10 xdotool search --sync --onlyvisible --name "实时曲线" | head -1)
xdotool windowmove $PW 370 480; sleep 0.5

# board FORMAT SECONDS: t=N temp=.. hum=.. | n,temp,hum,adc under a header |
# a sentence with two numbers in it; ten lines every 10 ms.
board() {
  perl -e '
    my ($dev, $fmt, $secs) = @ARGV;
    open(my $fh, ">", $dev) or die "$dev: $!\n";
    binmode $fh; select((select($fh), $| = 1)[0]);
    print $fh "n,temp,hum,adc\r\n" if $fmt eq "columns";
    my $n = 0;
    for (1 .. $secs * 100) {
      my $out = "";
      for (1 .. 10) {
        my $x = $n / 1000;
        my $temp = sprintf("%.2f", 23.5 + 2 * sin($x * 2));
        my $hum = sprintf("%.1f", 41 + 5 * cos($x * 0.7));
        my $adc = int(2048 + 1500 * sin($x * 5));
        $out .= $fmt eq "pairs" ? "t=$n temp=$temp hum=$hum\r\n"
              : $fmt eq "columns" ? "$n,$temp,$hum,$adc\r\n"
              : "[$n] ADC ch0 read $adc mV, board at $temp C\r\n";
        $n++;
      }
      print $fh $out;
      select(undef, undef, undef, 0.01);
    }' $PTY.board "$@" & BOARD=$!
}
shot() { import -window root "$OUT/$1.png"; }
panel() { xdotool mousemove --window $PW "$@"; }  # a point inside the plot window

board pairs 4; sleep 3; shot plot_pairs
# The counter t flattens the readings; a click on its name takes it out.
panel 392 438 click 1; sleep 0.5; shot plot_pairs_t_off
wait $BOARD

panel 848 21 click 1; sleep 0.3                     # clear: the header names anew
board columns 4; sleep 3; shot plot_columns
wait $BOARD

panel 55 21 click 1; sleep 0.4; xdotool key Down Down Down Return; sleep 0.3
panel 213 21 click 1; sleep 0.2
xdotool type --delay 5 'read (?<adc>\d+) mV, board at (?<temp>[\d.]+) C'; xdotool key Return
panel 848 21 click 1; sleep 0.3
board text 4; sleep 3; shot plot_regex
wait $BOARD
