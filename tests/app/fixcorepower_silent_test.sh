#!/usr/bin/env bash
# The Linux tool as a test station without a desktop runs it: `fixcorepower -s` with no display and no
# camera. It must end with exit code 255 (-1) and leave exactly "fail" CR LF in result.txt and one
# failure log holding exactly "No vaild device." CR LF, beside the executable; with -LVIOutput the
# two-line form. Standard error holds one line for the verdict and one warning per word it ignores.
# A silent run never loads the dialog module, even with a display named. --help and --version alone
# print and start no check. From a directory the user may not write, standard error says why no
# result file was written.
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

expect_stderr() {  # expected lines
  local expected
  expected=$(printf '%s\n' "$@")
  if [[ $err != "$expected" ]]; then
    printf 'standard error: expected\n%s\ngot\n%s\n' "$expected" "$err"
    exit 1
  fi
}

run() {
  rm -f "$work"/result.txt "$work"/FailedLog_*.txt
  set +e
  err=$(cd / && env -u DISPLAY -u WAYLAND_DISPLAY "${environment[@]}" "$work/fixcorepower" "$@" 2>&1 >/dev/null)
  code=$?
  set -e
  if [[ $code -ne 255 ]]; then echo "exit code $code, expected 255"; exit 1; fi
  logs=("$work"/FailedLog_*.txt)
  if [[ ${#logs[@]} -ne 1 || ! -e ${logs[0]} ]]; then echo "expected one failure log: ${logs[*]}"; exit 1; fi
  [[ $(basename "${logs[0]}") =~ ^FailedLog_[0-9]{4}(_[0-9]{2}){5}\.txt$ ]] || { echo "bad name ${logs[0]}"; exit 1; }
  expect_file "${logs[0]}" 'No vaild device.\r\n'
}

verdict='fixcorepower: FAIL: No vaild device. (no camera selected)'
environment=()
run -s
expect_file "$work/result.txt" 'fail\r\n'
expect_stderr "$verdict"
environment=(LC_ALL=C)
run -s
expect_file "$work/result.txt" 'fail\r\n'
environment=()
run /S -LVIOutput
expect_file "$work/result.txt" '[Tool_Result]\r\nRtn=Fail\r\n'
run -s -vid zz --help foo
expect_stderr "fixcorepower: the value 'zz' of '-vid' is not a hexadecimal number; it is read as 0000" \
              "fixcorepower: ignoring '--help': it is understood only as the only argument" \
              "fixcorepower: ignoring the unknown argument 'foo'" "$verdict"
echo "fixcorepower -s without a display: exit 255, result files and standard error as expected"

# A display is named and the module beside the program is broken: a silent run checks all the same.
printf 'not a shared object\n' > "$work/fixcorepower-gtk.so"
environment=(DISPLAY=:97 WAYLAND_DISPLAY=fcp-no-such-display)
run -s
expect_stderr "$verdict"
environment=()
rm "$work/fixcorepower-gtk.so"
echo "fixcorepower -s with a display named: checked without the dialog module"

# Help and version: exit 0 on standard output, nothing on standard error, no check (a check starts
# by deleting result.txt).
for request in --help -h --version; do
  printf 'kept\n' > "$work/result.txt"
  set +e
  out=$(cd / && DISPLAY=:97 "$work/fixcorepower" "$request" 2>"$work/stderr.txt")
  code=$?
  set -e
  [[ $code == 0 ]] || { echo "$request: exit code $code"; exit 1; }
  [[ ! -s $work/stderr.txt ]] || { echo "$request: standard error: $(cat "$work/stderr.txt")"; exit 1; }
  fcp_same_bytes "$work/result.txt" 'kept\n' || { echo "$request: a check ran"; exit 1; }
  case $request in
    --version) [[ $out =~ ^fixcorepower\ [0-9]+(\.[0-9]+)+$ ]] || { echo "--version printed [$out]"; exit 1; } ;;
    *) [[ $out == "Usage: fixcorepower "* ]] || { echo "$request printed [$out]"; exit 1; } ;;
  esac
done
rm -f "$work/result.txt" "$work/stderr.txt" "$work"/FailedLog_*.txt
echo "fixcorepower --help, -h, --version: printed, exit 0, no check"

# A directory the user may not write: as root, the run is made as nobody in a directory of root's.
chmod 755 "$fcp_work_root" "$work"
chmod 555 "$work"
as_user=()
if [[ $(id -u) == 0 ]]; then as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups); fi
set +e
err=$(cd / && env -u DISPLAY -u WAYLAND_DISPLAY "${as_user[@]}" "$work/fixcorepower" -s 2>&1 >/dev/null)
code=$?
set -e
chmod 755 "$work"
[[ $code == 255 ]] || { echo "unwritable directory: exit code $code"; exit 1; }
[[ -z $(ls "$work" | grep -v '^fixcorepower$') ]] || { echo "unwritable directory: files written: $(ls "$work")"; exit 1; }
grep -qxF "$verdict" <<<"$err" || { echo "unwritable directory: no verdict line in [$err]"; exit 1; }
grep -qE "^fixcorepower: could not write the result file /.*/t\?+st dir/result\.txt: Permission denied$" <<<"$err" ||
  { echo "unwritable directory: no line for result.txt in [$err]"; exit 1; }
grep -qE "^fixcorepower: could not write the result file .*/FailedLog_[0-9_]+\.txt: Permission denied$" <<<"$err" ||
  { echo "unwritable directory: no line for the failure log in [$err]"; exit 1; }
echo "fixcorepower -s in an unwritable directory: the verdict, and why no result file was written"
