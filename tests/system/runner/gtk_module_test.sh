#!/usr/bin/env bash
# Which runs load the GTK dialog module. Usage: <fixcorepower-sim> <blank chip scenario> [with-gtk]
# - no display named: a whole silent run passes without loading the module or any GTK library;
# - with-gtk (not in the sanitizer builds): a display named but unreachable loads the module, which
#   finds no display, and the run passes headless;
# - a broken module beside the program, one writable by every user, or none anywhere: a named
#   display ends the run with 255 and a message naming the module, before any check (no result file);
# - the Linux tool's face: a silent run never loads the module, so a broken one does not matter.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../lib.sh"
runner=$1 scenario=$2 with_gtk=${3:-}
module=fixcorepower-gtk.so
fcp_make_work_dir
mkdir "$work/with" "$work/broken" "$work/none"
cp "$runner" "$work/with/runner"
cp "$(dirname "$runner")/$module" "$work/with/"
cp "$runner" "$work/broken/runner"
printf 'not a shared object\n' > "$work/broken/$module"
cp "$runner" "$work/none/runner"

# A display number no X server on this machine answers.
display=:97
while [[ -e /tmp/.X11-unix/X${display#:} ]]; do display=:$((${display#:} + 1)); done

run() {  # dir, environment assignments...: runs silent, sets code, out (stderr and loader log)
  local dir=$1
  shift
  rm -f "$work/$dir/result.txt" "$work/$dir/loader.log"
  set +e
  out=$(cd "$work/$dir" && env -u DISPLAY -u WAYLAND_DISPLAY "$@" LD_DEBUG=files LD_DEBUG_OUTPUT="$work/$dir/loader.log" \
        timeout 60 ./runner "$scenario" -s 2>&1)
  code=$?
  set -e
  out+=$'\n'$(cat "$work/$dir"/loader.log.* 2>/dev/null; rm -f "$work/$dir"/loader.log.*)
}
loaded() { grep -qE "file=[^ ]*($module|libgtk-3\.so|libgdk-3\.so)" <<<"$out"; }
passed() { [[ $code == 0 ]] && fcp_same_bytes "$work/$1/result.txt" 'pass\r\n'; }

run with
if ! grep -q 'file=libstdc++' <<<"$out"; then fcp_fail "no display: the loader's log shows no library at all"
elif loaded; then fcp_fail "no display: GTK was loaded: $(grep -oE "file=[^ ]*(gtk|gdk)[^ ]*" <<<"$out" | sort -u | tr '\n' ' ')"
elif ! passed with; then fcp_fail "no display: exit code $code, the blank chip did not pass"
else fcp_ok "no display: passed without loading the module or GTK"; fi

if [[ $with_gtk == with-gtk ]]; then
  for variable in DISPLAY WAYLAND_DISPLAY; do
    value=$display
    [[ $variable == WAYLAND_DISPLAY ]] && value=fcp-no-such-display
    run with "$variable=$value"
    if ! grep -qE "file=[^ ]*$module" <<<"$out" || ! grep -qE 'file=[^ ]*libgtk-3\.so' <<<"$out"; then
      fcp_fail "$variable named: the module and GTK were not loaded"
    elif ! passed with; then fcp_fail "$variable named but unreachable: exit code $code, the blank chip did not pass"
    else fcp_ok "$variable named but unreachable: module loaded, passed headless"; fi
  done
fi

expect_refusal() {  # dir, text the message must hold
  if [[ $code == 255 && ! -e $work/$1/result.txt ]] && grep -qF -- "$2" <<<"$out"; then
    fcp_ok "$1 module: exit 255, no check, \"$2\""
  else
    fcp_fail "$1 module: exit code $code (want 255), result file $([[ -e $work/$1/result.txt ]] && echo written || echo none), message must hold \"$2\""
    grep -v "^ *[0-9]*:" <<<"$out" | head -5 | sed 's/^/       | /'
  fi
}
run broken "DISPLAY=$display"
expect_refusal broken "cannot load the dialog module $work/broken/$module"
run broken "DISPLAY=$display" FCP_SIM_FACE=linux
if loaded; then fcp_fail "Linux face, silent, display named: the module or GTK was loaded"
elif ! passed broken; then fcp_fail "Linux face, silent, display named, broken module: exit code $code, not passed"
else fcp_ok "Linux face, silent, display named: passed without loading the module"; fi
# A module every user may change is never run, however good it is.
mkdir "$work/open"
cp "$runner" "$work/open/runner"
cp "$(dirname "$runner")/$module" "$work/open/"
chmod o+w "$work/open/$module"
run open "DISPLAY=$display"
expect_refusal open "$work/open/$module is writable by every user"
# Only where no installed package provides the module.
if [[ ! -e /usr/lib/fixcorepower/$module ]]; then
  run none "DISPLAY=$display"
  expect_refusal none "the dialog module $module is in none of: $work/none"
fi

fcp_finish
