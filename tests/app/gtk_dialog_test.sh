#!/usr/bin/env bash
# The Linux dialog on a virtual display (run under xvfb-run): the first check with no camera shows
# "FAIL" on red at the status cell; the Check button is enabled afterwards and starts another check;
# closing the dialog ends the tool with exit code 255.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
tool=$1
convert=/usr/bin/convert
[[ -x $convert ]] || convert=convert
fcp_make_work_dir
cp "$tool" "$work/fixcorepower"
cp "$(dirname "$tool")/fixcorepower-gtk.so" "$work/"  # the dialog module, beside the program

(cd "$work" && exec ./fixcorepower) &
pid=$!
fcp_wait_for_file "$work/result.txt"
sleep 0.5  # the verdict is drawn after it is written
xwd -root -silent | "$convert" xwd:- "$work/shot.png"

# The red cell: every pure red pixel of the screen.
read -r count minx maxx miny maxy < <("$convert" "$work/shot.png" txt:- |
  awk -F'[,: ]+' '/#FF0000/ { n++; x=$1; y=$2;
      if (n==1 || x<a) a=x; if (n==1 || x>b) b=x; if (n==1 || y<c) c=y; if (n==1 || y>d) d=y }
    END { print n+0, a+0, b+0, c+0, d+0 }')
echo "red cell: $count pixels in x $minx..$maxx, y $miny..$maxy"
if ((count < 1000)); then echo "no red status cell on the screen"; exit 1; fi
pixel=$("$convert" "$work/shot.png" -format "%[pixel:p{$((minx + 1)),$((miny + 1))}]" info:)
[[ $pixel == "srgb(255,0,0)" || $pixel == "red" ]] || { echo "status cell corner is $pixel"; exit 1; }

# The Check button lies below the status cell, on the same centre line: the cell spans 42 dialog
# units from y = 6, the button's centre is at y = 85.
height=$((maxy - miny + 1))
x=$(((minx + maxx) / 2))
y=$((miny + 79 * height / 42))
rm -f "$work/result.txt"
xdotool mousemove "$x" "$y" click 1
fcp_wait_for_file "$work/result.txt"
echo "a click on Check at ($x, $y) ran another check"

fcp_close_and_wait "Fix Core Power"
if [[ $code -ne 255 ]]; then echo "exit code $code after closing, expected 255"; exit 1; fi
echo "closed with exit code 255"

# Silent with a display: the window is put off screen, the one check runs, the tool closes itself.
rm -f "$work"/result.txt "$work"/FailedLog_*.txt
set +e
(cd "$work" && timeout 30 ./fixcorepower -s -LVIOutput)
code=$?
set -e
if [[ $code -ne 255 ]]; then echo "silent run: exit code $code, expected 255"; exit 1; fi
fcp_same_bytes "$work/result.txt" '[Tool_Result]\r\nRtn=Fail\r\n' || { echo "silent run: unexpected result.txt"; exit 1; }
echo "silent run with a display: exit code 255, result file as expected"
