#!/usr/bin/env bash
# The runner with device events in its scenario. Usage: <fixcorepower-sim> headless|gtk (gtk: under a
# virtual display).
# - A device change handled just before the check starts (an arrival, whose rescan timer then ticks
#   during the check; a removal) must not stop the check: the silent run ends with its verdict.
# - gtk: a camera plugged in after the first check reaches the open dialog, which selects it (its
#   extension-unit requests appear in the wire trace); closing ends the tool with 255.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../lib.sh"
runner=$1 face=$2
fcp_make_work_dir
cp "$runner" "$work/runner"
[[ $face == gtk ]] && cp "$(dirname "$runner")/fixcorepower-gtk.so" "$work/"  # the dialog module, beside the program
if [[ $face == headless ]]; then unset DISPLAY WAYLAND_DISPLAY; fi

# A check of about half a second (4 ms per transfer): longer than the 200 ms rescan timer.
scenario() {  # file, events
  cat >"$work/$1" <<JSON
{"latency_us": 4000,
 "devices": [
  {"id": "cam0", "kind": "chip_camera", "ports": [1]},
  {"id": "cam1", "kind": "foreign_camera", "ports": [2], "connected": $3}
 ],
 "events": [$2]}
JSON
}
scenario arrival.json '{"after_ms": 0, "device": "cam1", "connected": true}' false
scenario removal.json '{"after_ms": 0, "device": "cam1", "connected": false}' true

silent() {  # scenario
  rm -f "$work"/result.txt "$work"/FailedLog_*.txt
  set +e
  (cd "$work" && timeout 20 ./runner "$1" -s >/dev/null 2>&1)
  local code=$?
  set -e
  if [[ $code == 0 ]] && fcp_same_bytes "$work/result.txt" 'pass\r\n'; then
    fcp_ok "$face $1: the silent run ended with PASS"
  else
    fcp_fail "$face $1: exit code $code (124: it never ended), result.txt [$(fcp_bytes "$work/result.txt")]"
  fi
}
for _ in 1 2 3; do
  silent arrival.json
  silent removal.json
done

if [[ $face == gtk ]]; then
  cat >"$work/plug_in.json" <<JSON
{"devices": [{"id": "cam0", "kind": "chip_camera", "ports": [1], "connected": false}],
 "events": [{"after_ms": 300, "device": "cam0", "connected": true}]}
JSON
  rm -f "$work"/result.txt "$work"/trace.txt
  (cd "$work" && FCP_SIM_TRACE="$work/trace.txt" exec ./runner plug_in.json) &
  pid=$!
  selected=
  for _ in $(seq 100); do
    if grep -q '^cam0 ' "$work/trace.txt" 2>/dev/null; then selected=1; break; fi
    sleep 0.1
  done
  if [[ -n $selected ]] && fcp_same_bytes "$work/result.txt" 'fail\r\n'; then
    fcp_ok "gtk plug_in.json: the first check failed, the camera plugged in later was selected"
  else
    fcp_fail "gtk plug_in.json: the camera plugged in was not selected (or the first check did not fail)"
  fi
  fcp_close_and_wait "Fix Core Power"
  if [[ $code == 255 ]]; then fcp_ok "gtk plug_in.json: closed with 255"; else
    fcp_fail "gtk plug_in.json: exit code $code after closing"; fi
fi

fcp_finish
