#!/usr/bin/env bash
# The tool on the virtual workstation, through its dialog on the headless host: for each scenario the
# exit code, result.txt and the failure log, byte for byte, and that the simulated Windows holds
# nothing of the pass-through driver afterwards, whatever the verdict. Usage: <fixcorepower-sim>
# <scenario dir>
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../lib.sh"
runner=$1 scenarios=$2
fcp_make_work_dir
cp "$runner" "$work/"
exe=$work/$(basename "$runner")

# What the run may leave on the simulated Windows: nothing (no file, service, RefCount, handle,
# registration, mutex or set).
nothing_left='.services == {} and .driver_service_key == false and .ref_count == null and .mutexes == {}
  and .driver.loaded == false and .driver.open_handles == 0 and .driver.registered_devices == 0
  and ([.processes[].open_handles] | add // 0) == 0 and .device_setup.open_sets == 0
  and .device_setup.open_interface_files == 0 and .kernel.open_interface_handles == 0
  and .files == []'

check() {  # scenario, options, expected exit code, expected result.txt, expected failure log (- for none)
  local scenario=$1 options=$2 code=$3 result=$4 log=$5 actual path=$1
  [[ $path == /* ]] || path=$scenarios/$path
  rm -f "$work"/result.txt "$work"/FailedLog_*.txt "$work"/windows-state.json
  set +e
  env -u DISPLAY timeout 60 "$exe" "$path" $options >/dev/null 2>&1
  actual=$?
  set -e
  local fail=""
  [[ $actual == "$code" ]] || fail+=" exit code $actual, expected $code;"
  fcp_same_bytes "$work/result.txt" "$result" || fail+=" result.txt differs;"
  local logs=("$work"/FailedLog_*.txt)
  if [[ $log == - ]]; then
    [[ ! -e ${logs[0]} ]] || fail+=" unexpected failure log;"
  else
    [[ ${#logs[@]} == 1 && -e ${logs[0]} ]] || fail+=" expected exactly one failure log;"
    fcp_same_bytes "${logs[0]}" "$log" || fail+=" failure log differs;"
  fi
  if [[ $code != 2 ]]; then
    jq -e "$nothing_left" "$work/windows-state.json" >/dev/null 2>&1 ||
      fail+=" the simulated Windows holds more than the kept driver copy: $(jq -c . "$work/windows-state.json" 2>&1);"
  fi
  if [[ -n $fail ]]; then
    fcp_fail "$scenario $options:$fail"
  else
    fcp_ok "$scenario $options"
  fi
}

check blank_chip.json "-s" 0 'pass\r\n' -
check blank_chip.json "-s -LVIOutput" 0 '[Tool_Result]\r\nRtn=Pass\r\n' -
check repaired_chip.json "-s" 0 'pass\r\n' -
check selector_zero.json "-s" 0 'pass\r\n' -
check foreign_patch_area.json "-s -LVIOutput" 255 '[Tool_Result]\r\nRtn=Fail\r\n' 'Failed to memcmp(&pbyRead[40], pbyPatch, 19)\r\n'
check other_family.json "-s" 255 'fail\r\n' 'It is not VZQ2202 IC\r\n'
check no_camera.json "-s" 255 'fail\r\n' 'No vaild device.\r\n'
check faulty_commit.json "-s" 255 'fail\r\n' 'Failed to fix core power.\r\n'

# Chip state carries over through the saved workstation: the faulty commit's chip passes next time.
check "$work/workstation-state.json" "-s" 0 'pass\r\n' -

# Files that are no scenario: refused with exit code 2 before any check, never a crash. A state
# whose indented text would be too large is saved compact and loads again.
cam='{"devices": [{"id": "cam0", "kind": "chip_camera", "ports": [1, 3]'
printf '%s, "bus": 1e400}]}' "$cam" >"$work/overflow.json"
{ printf '%s, "views": ' "$cam"; printf '{"a":%.0s' {1..100000}; printf 1; printf '}%.0s' {1..100000}; printf '}]}'; } >"$work/deep.json"
{ printf '%s, "views": {"a":' "$cam"; printf '[%.0s' {1..60}; printf '1'; printf ',1%.0s' {1..40000}; printf ']%.0s' {1..60}; printf '}}]}'; } >"$work/deep_state.json"
mkdir -p "$work/folder.json"
for hostile in overflow.json deep.json folder.json; do check "$work/$hostile" "-s" 2 '' -; done
check /dev/zero "-s" 2 '' -
# A FIFO without a writer is refused at once rather than waited on; a NUL byte does not end the text
# early (the document before it is valid); "-0" is a zero.
mkfifo "$work/fifo.json"
printf '{"devices": []}\n\0{"garbage"' >"$work/nul.json"
for hostile in fifo.json nul.json; do check "$work/$hostile" "-s" 2 '' -; done
hub='{"id": "hub0", "kind": "hub", "ports": [1]}' blank='{"id": "cam0", "kind": "chip_camera", "ports": [1, 3], "chip": {"selector": 1}'
printf '{"devices": [%s, %s}], "events": [{"after_ms": -0, "device": "cam0", "connected": true}]}' "$hub" "$blank" \
  >"$work/minus_zero.json"
check "$work/minus_zero.json" "-s" 0 'pass\r\n' -
rm "$work/workstation-state.json"
check "$work/deep_state.json" "-s" 0 'pass\r\n' -
check "$work/workstation-state.json" "-s" 0 'pass\r\n' -

# A scenario that just fits the room the loader asks for the state a run saves: the repair adds to
# that state (the commit), and the runner loads it again all the same.
edge() {  # <padding>
  { printf '{"devices": [%s, %s, "views": {"pad": "' "$hub" "$blank"
    head -c "$1" /dev/zero | tr '\0' x
    printf '"}}]}'; } >"$work/edge.json"
}
edge 4194000
asked=$( (env -u DISPLAY "$exe" "$work/edge.json" -s 2>&1 >/dev/null || true) |
  sed -n 's/.*would take up to \([0-9]*\) bytes.*/\1/p')
if [[ -z $asked ]]; then
  fcp_fail "edge.json: the loader asked for no room"
else
  edge $((4194000 - (asked - 4194304)))
  rm -f "$work/workstation-state.json"
  check "$work/edge.json" "-s" 0 'pass\r\n' -
  check "$work/workstation-state.json" "-s" 0 'pass\r\n' -
fi

# A camera whose DFU function libusb does not list: repaired through the pass-through driver, then
# passing again on the saved chip.
check blank_chip_passthrough.json "-s" 0 'pass\r\n' -
check "$work/workstation-state.json" "-s" 0 'pass\r\n' -

# The camera answers "not ready" through the driver: three times (the open waits four probes of
# 200 ms, then the repair goes on), or always (the wait ends after 50 probes, 10 s; every request
# fails, and the driver is gone all the same).
waited() {  # scenario, milliseconds the camera layer waited
  local slept
  slept=$(jq .camera_layer.slept_ms "$work/windows-state.json")
  [[ $slept == "$2" ]] && fcp_ok "$1 waits $2 ms" || fcp_fail "$1 waited $slept ms, expected $2"
}
check passthrough_slow_start.json "-s" 0 'pass\r\n' -
waited passthrough_slow_start.json 800
jq -e '.devices[] | select(.id == "cam0") | has("not_ready") | not' "$work/workstation-state.json" >/dev/null &&
  fcp_ok "the not-ready answers are used up" || fcp_fail "not-ready answers left in the saved state"
check passthrough_never_ready.json "-s" 255 'fail\r\n' 'Failed to DFU_Vendorreqget(0x52, 0, 0, pbyRead, 59)\r\n'
waited passthrough_never_ready.json 10000

# The Linux face has no simulated Windows: no report, not even an earlier run's.
FCP_SIM_FACE=linux env -u DISPLAY "$exe" "$scenarios/blank_chip.json" -s >/dev/null 2>&1 || true
[[ ! -e $work/windows-state.json ]] && fcp_ok "no Windows report on the Linux face" ||
  fcp_fail "a Windows report on the Linux face"

# What the Linux face says on standard error: the warnings, then one line per verdict; a USB device
# the user may not open through usbfs is named, once, before the failure it causes. The Windows face
# says nothing there.
jq '(.devices[] | select(.id == "cam0")).libusb_open_error = "LIBUSB_ERROR_ACCESS"' "$scenarios/blank_chip.json" \
  > "$work/usbfs_denied.json"
said() {  # face, scenario, options, expected exit code, expected lines...
  local face=$1 scenario=$2 options=$3 code=$4 path=$2 err actual expected
  shift 4
  [[ $path == /* ]] || path=$scenarios/$path
  expected=$(printf '%s\n' "$@")
  set +e
  err=$(FCP_SIM_FACE=$face env -u DISPLAY "$exe" "$path" $options 2>&1 >/dev/null)
  actual=$?
  set -e
  if [[ $actual == "$code" && $err == "$expected" ]]; then
    fcp_ok "$face face, $(basename "$scenario") $options: standard error as expected"
  else
    fcp_fail "$face face, $(basename "$scenario") $options: exit code $actual (want $code), standard error [$err], want [$expected]"
  fi
}
camera='(camera fc01:f202 at 001.003.000.000.000.000)'
said linux blank_chip.json "-s" 0 "fixcorepower: PASS $camera"
said linux faulty_commit.json "-s -pid f202 -vid fc01" 255 "fixcorepower: FAIL: Failed to fix core power. $camera"
said linux no_camera.json "-s -vid zz extra" 255 \
  "fixcorepower: the value 'zz' of '-vid' is not a hexadecimal number; it is read as 0000" \
  "fixcorepower: ignoring the unknown argument 'extra'" "fixcorepower: FAIL: No vaild device. (no camera selected)"
said linux "$work/usbfs_denied.json" "-s" 255 \
  "fixcorepower: no access to the USB device fc01:f202 at 001.003.000.000.000.000 (its usbfs node): Permission denied; the manual page says which groups an operator needs" \
  "fixcorepower: FAIL: Failed to DFU_OpenByLocationInfo $camera"
fcp_same_bytes "$(ls "$work"/FailedLog_*.txt | tail -1)" 'Failed to DFU_OpenByLocationInfo\r\n' &&
  fcp_ok "usbfs denied: the failure log as before" || fcp_fail "usbfs denied: the failure log differs"
said windows no_camera.json "-s -vid zz extra" 255

fcp_finish
