# x64 Windows programs under Wine on a virtual display:
#   - win32_backend_probe.exe: the Win32 dialog backend against real windows (its own checks);
#   and the tool, with no camera attached:
#   - silent runs (plain and -LVIOutput): exit code 255 and the exact result files beside the exe;
#   - a silent run without a display (no dialog, so no check): exit code 255, no result files;
#   - an interactive start: the dialog shows FAIL on red and an empty camera box, Check runs another
#     check, and closing the window ends the process with 255.
# Only the x64 build runs here: a 32-bit exe under wine64 without wine32 "succeeds" without running.
set -euo pipefail
: "${FCP_JOBS:=$(nproc)}"
root=$(pwd)
source "$root/scripts/lib/wine.sh"
exe="$root/build/windows-x64/src/app/FixCorePower.exe"
probe="$root/build/windows-x64/tests/ui/win32/win32_backend_probe.exe"
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j "$FCP_JOBS" --target FixCorePower win32_backend_probe

work="$root/build/wine"
fcp_wine_env "$work/prefix"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }

fcp_wine_display "$work/xvfb.log"

# The dialog backend against real windows (its own checks; the last line counts them).
rc=0
timeout 120 "$wine" "$probe" >"$work/probe.log" 2>"$work/probe.err" || rc=$?
wineserver -w
cat "$work/probe.log"
[[ $rc -eq 0 ]] && pass "win32 backend probe" || fail "win32 backend probe: exit code $rc"

# Each run gets its own folder holding a copy of the exe: the result files go beside it.
fresh_dir() {
  rm -rf "$work/$1" && mkdir -p "$work/$1"
  cp "$exe" "$work/$1/"
  echo "$work/$1"
}
expect_bytes() { # file, expected text with \r\n escapes, what
  if [[ ! -f "$1" ]]; then fail "$3: $(basename "$1") missing"; return; fi
  if cmp -s "$1" <(printf "$2"); then pass "$3"; else
    fail "$3: $(basename "$1") holds $(od -An -c "$1" | tr -s ' ')"; fi
}
expect_one_failed_log() { # dir, expected text, what
  local logs=("$1"/FailedLog_*.txt)
  if [[ ${#logs[@]} -ne 1 || ! -f "${logs[0]}" ]]; then fail "$3: ${#logs[@]} failure logs"; return; fi
  [[ $(basename "${logs[0]}") =~ ^FailedLog_[0-9]{4}(_[0-9]{2}){5}\.txt$ ]] ||
    fail "$3: log name $(basename "${logs[0]}")"
  expect_bytes "${logs[0]}" "$2" "$3"
}

silent_run() { # name, expected result.txt, options...
  local name=$1 expected=$2 dir rc=0
  shift 2
  dir=$(fresh_dir "$name")
  (cd "$dir" && timeout 120 "$wine" ./FixCorePower.exe "$@") >"$dir/wine.log" 2>&1 || rc=$?
  wineserver -w
  [[ $rc -eq 255 ]] && pass "$name: exit code 255" || fail "$name: exit code $rc"
  expect_bytes "$dir/result.txt" "$expected" "$name: result.txt"
  expect_one_failed_log "$dir" 'No vaild device.\r\n' "$name: failure log"
}

silent_run silent 'fail\r\n' -s
silent_run silent-lvi '[Tool_Result]\r\nRtn=Fail\r\n' -s -LVIOutput

# Without a display Wine cannot make the dialog: no check runs, and the run must not look passed.
dir=$(fresh_dir no-display)
rc=0
(cd "$dir" && unset DISPLAY && timeout 120 "$wine" ./FixCorePower.exe -s) >"$dir/wine.log" 2>&1 || rc=$?
wineserver -w
[[ $rc -eq 255 ]] && pass "no display: exit code 255" || fail "no display: exit code $rc"
[[ -z $(find "$dir" -maxdepth 1 -name '*.txt') ]] && pass "no display: no result files" ||
  fail "no display: result files written"

# Interactive start: find the dialog, wait for the check's verdict, look at the screen, close it.
dir=$(fresh_dir interactive)
(cd "$dir" && exec "$wine" ./FixCorePower.exe) >"$dir/wine.log" 2>&1 &
fcp_app_pid=$!
win=$(timeout 60 xdotool search --sync --onlyvisible --name '^Fix Core Power$' | head -n1 || true)
if [[ -z "$win" ]]; then
  fail "interactive: no dialog window"
else
  eval "$(xdotool getwindowgeometry --shell "$win")" # X Y WIDTH HEIGHT of the client area
  # Control positions in dialog units over the 179 x 99 template: dialog units scale each axis
  # linearly, so fractions of the client area locate the controls whatever the font metrics.
  at() { echo $(($1 + $2 * $3 / $4)); }
  status_x=$(at "$X" "$WIDTH" 89 179)   # horizontal centre of the status cell (41 + 96/2)
  status_y=$(at "$Y" "$HEIGHT" 8 99)    # near the top of the cell: above the capitals' strokes
  shot="$dir/screen.png"
  pixel=
  for _ in $(seq 1 60); do # the verdict follows the check on the worker
    xwd -root -silent | convert xwd:- "$shot"
    pixel=$(convert "$shot" -format "%[pixel:p{$status_x,$status_y}]" info:)
    [[ "$pixel" =~ ^s?rgb\(255,0,0\)$|^red$ ]] && break
    sleep 0.5
  done
  [[ "$pixel" =~ ^s?rgb\(255,0,0\)$|^red$ ]] && pass "interactive: status cell red" ||
    fail "interactive: status cell is $pixel"
  # The camera box (36, 58, 138, 14) holds no text: no column of its inside has ink, apart from the
  # caret (at most 2 pixels wide) when the box has the focus.
  box_x=$(at "$X" "$WIDTH" 38 179) box_y=$(at "$Y" "$HEIGHT" 60 99)
  box_w=$((WIDTH * 134 / 179)) box_h=$((HEIGHT * 10 / 99))
  inked=$(convert "$shot" -crop "${box_w}x${box_h}+${box_x}+${box_y}" +repage -colorspace gray \
    -threshold 50% -negate -scale "${box_w}x1!" -threshold 0 -format '%[fx:round(mean*w)]' info:)
  [[ "$inked" -le 2 ]] && pass "interactive: camera box empty" ||
    fail "interactive: camera box shows text ($inked columns of ink)"
  # The worker enables Check again at its end: a click runs a second check, which leaves a second
  # failure log (a second later, so under another name) and the verdict file again.
  sleep 1.1
  xdotool mousemove "$(at "$X" "$WIDTH" 89 179)" "$(at "$Y" "$HEIGHT" 85 99)" click 1
  logs=0
  for _ in $(seq 1 60); do
    logs=$(find "$dir" -maxdepth 1 -name 'FailedLog_*.txt' | wc -l)
    [[ $logs -ge 2 && -f "$dir/result.txt" ]] && break
    sleep 0.5
  done
  [[ $logs -eq 2 ]] && pass "interactive: Check ran a second check" ||
    fail "interactive: $logs failure logs after pressing Check"
  expect_bytes "$dir/result.txt" 'fail\r\n' "interactive: result.txt after the second check"
fi
fcp_close_dialog "$win" "$fcp_app_pid"
[[ $fcp_exit_code == 255 ]] && pass "interactive: closed, exit code 255" || fail "interactive: exit code $fcp_exit_code"
fcp_app_pid=
wineserver -w

((failures == 0)) || { echo "$failures wine check(s) failed"; exit 1; }
echo "all wine checks passed"
