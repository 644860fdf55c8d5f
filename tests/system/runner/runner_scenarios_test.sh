#!/usr/bin/env bash
# The tool on the virtual workstation, through its dialog on the headless host: for each scenario the
# exit code, result.txt and the failure log, byte for byte. Usage: <fixcorepower-sim> <scenario dir>
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../lib.sh"
runner=$1 scenarios=$2
fcp_make_work_dir
cp "$runner" "$work/"
exe=$work/$(basename "$runner")

check() {  # scenario, options, expected exit code, expected result.txt, expected failure log (- for none)
  local scenario=$1 options=$2 code=$3 result=$4 log=$5 actual path=$1
  [[ $path == /* ]] || path=$scenarios/$path
  rm -f "$work"/result.txt "$work"/FailedLog_*.txt
  set +e
  env -u DISPLAY "$exe" "$path" $options >/dev/null 2>&1
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
rm "$work/workstation-state.json"
check "$work/deep_state.json" "-s" 0 'pass\r\n' -
check "$work/workstation-state.json" "-s" 0 'pass\r\n' -

# A camera whose DFU function libusb does not list: repaired through the pass-through driver, then
# passing again on the saved chip.
check blank_chip_passthrough.json "-s" 0 'pass\r\n' -
check "$work/workstation-state.json" "-s" 0 'pass\r\n' -

fcp_finish
