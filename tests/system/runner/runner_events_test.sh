#!/usr/bin/env bash
# The runner with device events in its scenario. Usage: <fixcorepower-sim> headless|gtk (gtk: under a
# virtual display).
# - A device change handled just before the check starts (an arrival, whose rescan timer then ticks
#   during the check; a removal) must not stop the check: the silent run ends with its verdict.
# - gtk: a camera plugged in after the first check reaches the open dialog, which selects it (its
#   extension-unit requests appear in the wire trace); closing ends the tool with 255.
set -euo pipefail
runner=$1 face=$2
work=$(mktemp -d)
pid=
cleanup() {
  [[ -n $pid ]] && kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cp "$runner" "$work/runner"
failures=0
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
  local result
  result=$(od -An -c "$work/result.txt" 2>/dev/null || true)
  if [[ $code == 0 && $result == "$(printf 'pass\r\n' | od -An -c)" ]]; then
    echo "ok   $face $1: the silent run ended with PASS"
  else
    echo "FAIL $face $1: exit code $code (124: it never ended), result.txt [$result]"
    failures=$((failures + 1))
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
  if [[ -n $selected && $(od -An -c "$work/result.txt") == "$(printf 'fail\r\n' | od -An -c)" ]]; then
    echo "ok   gtk plug_in.json: the first check failed, the camera plugged in later was selected"
  else
    echo "FAIL gtk plug_in.json: the camera plugged in was not selected (or the first check did not fail)"
    failures=$((failures + 1))
  fi
  window=$(xdotool search --name "Fix Core Power" | head -1)
  xdotool windowfocus --sync "$window" key Escape
  set +e
  wait "$pid"
  code=$?
  set -e
  pid=
  if [[ $code == 255 ]]; then echo "ok   gtk plug_in.json: closed with 255"; else
    echo "FAIL gtk plug_in.json: exit code $code after closing"; failures=$((failures + 1)); fi
fi

echo "$failures failed"
[[ $failures == 0 ]]
