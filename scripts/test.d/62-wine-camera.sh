# The Windows tool with cameras under Wine (x64 only). The virtual DirectShow camera
# (sim/dshow_camera) serves the chips of a scenario file to the real FixCorePower.exe through Wine's
# own system device enumerator, property bags and kernel-streaming interfaces; fcp-camera-setup
# registers it and writes the scenario's device keys into the prefix's registry. Each case of the
# table is a silent run: exit code and result files byte for byte, and the extension-unit traffic the
# virtual camera saw against the wire trace of the Linux runner (fixcorepower-sim) on the same
# scenario. Then an interactive start: the dialog shows the camera's device name and PASS on green.
set -euo pipefail
: "${FCP_JOBS:=$(nproc)}"
root=$(pwd)
source scripts/lib/wine.sh
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j "$FCP_JOBS" --target FixCorePower fcp_virtual_camera fcp_camera_setup dialog_texts
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$FCP_JOBS" --target fixcorepower-sim

win=$root/build/windows-x64
camera_dll=$win/sim/dshow_camera/fcp-virtual-camera.dll
runner=$root/build/linux/tools/fixcorepower-sim/fixcorepower-sim
work=$root/build/wine-camera/run
rm -rf "$work" && mkdir -p "$work"
# A prefix of its own, kept between runs: the cameras registered here must not appear to the stages
# that expect a machine without cameras.
fcp_wine_env "$root/build/wine-camera/prefix"
fcp_wine_display "$work/xvfb.log"
wineserver -p  # one server for every run of the stage, ended by the cleanup

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }
windows_path() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }
# The extension-unit requests of a wire trace (none without one): SET_CUR/GET_CUR on controls 10, 11.
xu_lines() { [[ -f $1 ]] && tr -d '\r' <"$1" | grep -E '^[^ ]+ (2101|A181)000[AB]' || true; }

registered=
register() { # scenario name
  [[ $registered == "$1" ]] && return 0
  if "$wine" "$win/sim/dshow_camera/fcp-camera-setup.exe" "$(windows_path "sim/scenarios/$1.json")" \
      "$(windows_path "$camera_dll")" >"$work/setup-$1.log" 2> >(fcp_wine_quiet); then
    registered=$1
  else
    fail "$1: set-up of the virtual camera"; cat "$work/setup-$1.log"; return 1
  fi
}

run_dir() { # name, program to copy: a folder of its own, since result files go beside the program
  mkdir -p "$work/$1" && cp "$2" "$work/$1/" && echo "$work/$1"
}
expect_bytes() { # file, expected text with \r\n escapes, what
  if [[ ! -f "$1" ]]; then fail "$3: $(basename "$1") missing"; return; fi
  if cmp -s "$1" <(printf "$2"); then pass "$3"; else
    fail "$3: $(basename "$1") holds $(od -An -c "$1" | tr -s ' ')"; fi
}
failed_logs() { find "$1" -maxdepth 1 -name 'FailedLog_*.txt' | sort; }

# name | scenario | tool options | exit code | result.txt | failure log (- for none) | traffic: the
# virtual camera's extension-unit requests are the runner's ("same") or how they begin ("start": the
# runner goes on to its DFU device, which neither libusb nor the pass-through route finds under Wine)
# | variants the tool clears
# (- not counted): a property the device lacks is never read into the variant, so clearing it frees
# whatever the variant held before (Wine's trace of VariantClear shows it whatever that was).
cases=(
  "selector-zero|selector_zero|-s|0|pass\r\n|-|same|-"
  "selector-zero-lvi|selector_zero|-s -LVIOutput|0|[Tool_Result]\r\nRtn=Pass\r\n|-|same|-"
  "other-family|other_family|-s|255|fail\r\n|It is not VZQ2202 IC\r\n|same|-"
  "wrong-signature|wrong_signature|-s|255|fail\r\n|No vaild device.\r\n|same|-"
  "dfu-side|blank_chip|-s|255|fail\r\n|Failed to DFU_OpenByLocationInfo\r\n|start|-"
  "sensor-camera-default|sensor_camera|-s|255|fail\r\n|No vaild device.\r\n|same|-"
  "sensor-camera-by-ids|sensor_camera|-s -vid 0xFC01 -pid 0a02|0|pass\r\n|-|same|-"
  "other-maker|foreign_camera|-s|255|fail\r\n|No vaild device.\r\n|same|-"
  "software-camera|software_camera|-s|255|fail\r\n|No vaild device.\r\n|same|0"
)
for row in "${cases[@]}"; do
  IFS='|' read -r name scenario options code result log traffic clears <<<"$row"
  read -r -a args <<<"$options"
  register "$scenario" || continue
  dir=$(run_dir "$name" "$win/src/app/FixCorePower.exe")
  rc=0
  debug=-all
  [[ $clears == - ]] || debug=-all,trace+variant
  (cd "$dir" && FCP_SIM_TRACE=$(windows_path "$dir/camera-trace.txt") WINEDEBUG=$debug timeout 120 \
    "$wine" ./FixCorePower.exe "${args[@]}") >"$dir/wine.log" 2>&1 || rc=$?
  if [[ $clears != - ]]; then
    cleared=$(grep -c 'trace:variant:VariantClear' "$dir/wine.log" || true)
    [[ $cleared -eq $clears ]] && pass "$name: $cleared variants cleared" ||
      fail "$name: $cleared variants cleared, expected $clears ($dir/wine.log)"
  fi
  [[ $rc -eq $code ]] && pass "$name: exit code $rc" || fail "$name: exit code $rc, expected $code"
  expect_bytes "$dir/result.txt" "$result" "$name: result.txt"
  mapfile -t logs < <(failed_logs "$dir")
  if [[ $log == - ]]; then
    [[ ${#logs[@]} -eq 0 ]] && pass "$name: no failure log" || fail "$name: ${#logs[@]} failure logs"
  elif [[ ${#logs[@]} -ne 1 ]]; then
    fail "$name: ${#logs[@]} failure logs"
  else
    [[ $(basename "${logs[0]}") =~ ^FailedLog_[0-9]{4}(_[0-9]{2}){5}\.txt$ ]] || fail "$name: log name ${logs[0]}"
    expect_bytes "${logs[0]}" "$log" "$name: failure log"
  fi

  # The same scenario and options on the Linux runner over the virtual workstation.
  sim=$(run_dir "$name/sim" "$runner")
  sim_rc=0
  (cd "$sim" && FCP_SIM_TRACE="$sim/trace.txt" DISPLAY= timeout 120 ./fixcorepower-sim \
    "$root/sim/scenarios/$scenario.json" "${args[@]}") >"$sim/run.log" 2>&1 || sim_rc=$?
  camera_xu=$(xu_lines "$dir/camera-trace.txt")
  sim_xu=$(xu_lines "$sim/trace.txt")
  if [[ $traffic == same ]]; then
    [[ "$camera_xu" == "$sim_xu" ]] && pass "$name: $(grep -c . <<<"$camera_xu") extension-unit requests as on the workstation" ||
      fail "$name: extension-unit traffic differs from the workstation's (diff $dir/camera-trace.txt $sim/trace.txt)"
    # Both faces end the same way.
    [[ $sim_rc -eq $rc ]] && cmp -s "$sim/result.txt" "$dir/result.txt" &&
      cmp -s <(cat $(failed_logs "$sim") /dev/null) <(cat "${logs[@]}" /dev/null) &&
      pass "$name: the runner ends alike" || fail "$name: the runner ends with $sim_rc ($sim/run.log)"
  else
    [[ -n "$camera_xu" && ("$sim_xu" == "$camera_xu" || "$sim_xu" == "$camera_xu"$'\n'*) ]] &&
      pass "$name: $(grep -c . <<<"$camera_xu") extension-unit requests as the workstation's begin" ||
      fail "$name: extension-unit traffic is not how the workstation's begins ($dir/camera-trace.txt $sim/trace.txt)"
  fi
done

# Interactive: the dialog selects the camera by its IDs, shows its device name, checks it at once
# and shows PASS on green; closing it ends the process with 0.
register sensor_camera
dir=$(run_dir interactive "$win/src/app/FixCorePower.exe")
(cd "$dir" && exec "$wine" ./FixCorePower.exe -vid fc01 -pid 0a02) >"$dir/wine.log" 2>&1 &
fcp_app_pid=$!
window=$(timeout 60 xdotool search --sync --onlyvisible --name '^Fix Core Power$' | head -n1 || true)
if [[ -z "$window" ]]; then
  fail "interactive: no dialog window"
else
  texts=
  for _ in $(seq 1 60); do # the verdict follows the check on the worker
    texts=$("$wine" "$win/tests/system/wine_camera/dialog_texts.exe" 'Fix Core Power' 2> >(fcp_wine_quiet) | tr -d '\r' || true)
    grep -qx '[0-9]* PASS' <<<"$texts" && break
    sleep 0.5
  done
  echo "$texts" >"$dir/dialog-texts.txt"
  grep -qx '[0-9]* VID_FC01&PID_0A02&REV_0100' <<<"$texts" && pass "interactive: the camera box shows the device name" ||
    fail "interactive: no device name among the dialog's texts: $(tr '\n' '|' <<<"$texts")"
  grep -qx '[0-9]* PASS' <<<"$texts" && pass "interactive: PASS" || fail "interactive: no PASS"
  eval "$(xdotool getwindowgeometry --shell "$window")" # X Y WIDTH HEIGHT of the client area
  # Near the top of the status cell (41, 6, 96, 42 of the 179 x 99 template), above the letters.
  xwd -root -silent | convert xwd:- "$dir/screen.png"
  pixel=$(convert "$dir/screen.png" -format "%[pixel:p{$((X + WIDTH * 89 / 179)),$((Y + HEIGHT * 8 / 99))}]" info:)
  [[ "$pixel" =~ ^s?rgb\(0,255,0\)$|^lime$ ]] && pass "interactive: status cell green" ||
    fail "interactive: status cell is $pixel (screenshot $dir/screen.png)"
fi
fcp_close_dialog "$window" "$fcp_app_pid"
[[ $fcp_exit_code == 0 ]] && pass "interactive: closed, exit code 0" || fail "interactive: exit code $fcp_exit_code"
fcp_app_pid=

((failures == 0)) || { echo "$failures Wine camera check(s) failed"; exit 1; }
echo "all Wine camera checks passed"
