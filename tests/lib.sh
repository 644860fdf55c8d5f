# Helpers of the shell tests, sourced by them (bash, under set -euo pipefail).
#
#   fcp_make_work_dir          a fresh temporary directory in $work, removed at exit; a background
#                              process whose id is in $pid at that time is ended first
#   fcp_bytes <file>           the file's bytes as `od -An -c` shows them; nothing for a missing file
#   fcp_same_bytes <file> <printf format>
#                              true when the file holds exactly these bytes (a missing file reads as
#                              empty)
#   fcp_wait_for_file <path>   waits up to 10 s for the path to appear; fails with a message after that
#   fcp_close_and_wait <title>  Escape to the first window with that title, then waits for the process
#                              in $pid: its exit code in $code, $pid cleared
#   fcp_ok <what>, fcp_fail <what>, fcp_finish
#                              a test of many cases: "ok   <what>" and "FAIL <what>" lines, failures
#                              counted; fcp_finish prints "<n> failed" and fails when n is not 0

fcp_make_work_dir() {
  work=$(mktemp -d)
  fcp_work_root=$work  # what the test later calls $work may be a folder inside it
  pid=
  trap fcp_remove_work_dir EXIT
}

fcp_remove_work_dir() {
  [[ -n ${pid:-} ]] && kill "$pid" 2>/dev/null || true
  rm -rf "$fcp_work_root"
}

fcp_bytes() { od -An -c "$1" 2>/dev/null || true; }

fcp_same_bytes() { [[ "$(fcp_bytes "$1")" == "$(printf "$2" | od -An -c)" ]]; }

fcp_wait_for_file() {
  for _ in $(seq 100); do [[ -e $1 ]] && return 0; sleep 0.1; done
  echo "timed out waiting for $(basename "$1")"
  return 1
}

fcp_close_and_wait() {
  local window
  window=$(xdotool search --name "$1" | head -1)
  xdotool windowfocus --sync "$window" key Escape
  code=0
  wait "$pid" || code=$?
  pid=
}

fcp_failures=0
fcp_ok() { echo "ok   $*"; }
fcp_fail() {
  echo "FAIL $*"
  fcp_failures=$((fcp_failures + 1))
}
fcp_finish() {
  echo "$fcp_failures failed"
  [[ $fcp_failures == 0 ]]
}
