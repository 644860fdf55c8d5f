#!/usr/bin/env bash
# The Linux tool as a test station without a desktop runs it: `fixcorepower -s` with no display and no
# camera. It must end with exit code 255 (-1) and leave exactly "fail" CR LF in result.txt and one
# failure log holding exactly "No vaild device." CR LF, beside the executable; with -LVIOutput the
# two-line form.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
tool=$1
fcp_make_work_dir
# A directory name with a space and a letter beyond ASCII, as a station's folder may have.
work="$work/t$(printf '\xc3\xa9')st dir"
mkdir "$work"
cp "$tool" "$work/fixcorepower"

expect_file() {  # path, expected bytes (printf format)
  if ! fcp_same_bytes "$1" "$2"; then
    echo "$(basename "$1"): expected [$(printf "$2" | od -An -c)], got [$(fcp_bytes "$1")]"
    exit 1
  fi
}

run() {
  rm -f "$work"/result.txt "$work"/FailedLog_*.txt
  set +e
  (cd / && env -u DISPLAY -u WAYLAND_DISPLAY "$work/fixcorepower" "$@")
  code=$?
  set -e
  if [[ $code -ne 255 ]]; then echo "exit code $code, expected 255"; exit 1; fi
  logs=("$work"/FailedLog_*.txt)
  if [[ ${#logs[@]} -ne 1 || ! -e ${logs[0]} ]]; then echo "expected one failure log: ${logs[*]}"; exit 1; fi
  [[ $(basename "${logs[0]}") =~ ^FailedLog_[0-9]{4}(_[0-9]{2}){5}\.txt$ ]] || { echo "bad name ${logs[0]}"; exit 1; }
  expect_file "${logs[0]}" 'No vaild device.\r\n'
}

run -s
expect_file "$work/result.txt" 'fail\r\n'
LC_ALL=C run -s
expect_file "$work/result.txt" 'fail\r\n'
run /S -LVIOutput
expect_file "$work/result.txt" '[Tool_Result]\r\nRtn=Fail\r\n'
echo "fixcorepower -s without a display: exit 255, result files as expected"
