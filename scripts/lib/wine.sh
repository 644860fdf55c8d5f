# Sourced by the Wine stages. They run x64 programs only, so they start them with Wine's 64-bit
# loader by its path: Debian's `wine` launcher takes the 32-bit loader whenever wine32 happens to be
# installed, and that loader fails ("Exec format error") on a kernel without 32-bit support.
# Usage: "$wine" program.exe args...; "$wine" wineboot -i creates a prefix.
wine=/usr/lib/wine/wine64
[[ -x $wine ]] || { echo "Wine's 64-bit loader $wine is missing (package wine64)"; exit 1; }
export WINELOADER=$wine  # the loader Wine uses for the processes it starts itself

# Helpers:
#   fcp_wine_env <prefix dir>    exports the environment of that prefix (no display)
#   fcp_wine_prefix              creates the prefix when it is not there yet
#   2> >(fcp_wine_quiet)         drops Wine's hints about a missing wine32 from a program's stderr
#   fcp_xvfb_start <log file>    a private X display for the stage (sets DISPLAY and fcp_xvfb_pid)
#   fcp_wine_stop                ends the program in fcp_app_pid, the prefix's Wine processes, then
#                                the display
#   fcp_wine_display <log file>  for a stage with windows: fcp_wine_stop on exit, a display, the prefix
#   fcp_close_dialog <window> <pid>  Alt+F4 to the window (none: only waits), then waits up to 30 s
#                                for the process: fcp_exit_code is its exit code, or "running"

fcp_wine_env() {
  export WINEPREFIX=$1 WINEARCH=win64 WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono/Gecko installer dialogs in a fresh prefix
  unset DISPLAY
  mkdir -p "$(dirname "$WINEPREFIX")"
}

fcp_wine_prefix() {
  [[ -f $WINEPREFIX/system.reg ]] && return 0
  echo "creating the Wine prefix $WINEPREFIX"
  "$wine" wineboot -i >"$WINEPREFIX.wineboot.log" 2>&1 || true
  timeout 120 wineserver -w  # the new prefix's services must settle before the next program
  [[ -f $WINEPREFIX/system.reg ]] || { echo "no Wine prefix:"; cat "$WINEPREFIX.wineboot.log"; return 1; }
}

fcp_wine_quiet() { grep -v 'wine32\|multiarch\|dpkg --add\|apt-get install' >&2; }

fcp_xvfb_start() {
  # Xvfb picks a free display number and tells it on a pipe.
  local fd display_no
  exec {fd}<> <(:)
  Xvfb -displayfd "$fd" -screen 0 1024x768x24 -nolisten tcp >"$1" 2>&1 &
  fcp_xvfb_pid=$!
  read -r -t 15 -u "$fd" display_no || { echo "Xvfb did not start"; cat "$1"; return 1; }
  export DISPLAY=":$display_no"
}

fcp_wine_stop() {
  [[ -n ${fcp_app_pid:-} ]] && kill "$fcp_app_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true  # Wine's processes must be gone before the display goes
  if [[ -n ${fcp_xvfb_pid:-} ]]; then
    kill "$fcp_xvfb_pid" 2>/dev/null || true
    wait "$fcp_xvfb_pid" 2>/dev/null || true
  fi
}

fcp_wine_display() {
  fcp_app_pid=
  trap fcp_wine_stop EXIT
  fcp_xvfb_start "$1"
  fcp_wine_prefix
}

fcp_close_dialog() {
  if [[ -n $1 ]]; then
    timeout 10 xdotool windowactivate --sync "$1" 2>/dev/null || timeout 10 xdotool windowfocus --sync "$1" || true
    xdotool key --window "$1" alt+F4
  fi
  fcp_exit_code=0
  if timeout 30 tail --pid="$2" -f /dev/null; then
    wait "$2" || fcp_exit_code=$?
  else
    fcp_exit_code=running
  fi
}
