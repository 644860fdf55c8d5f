# The camera side's Windows adapters under Wine (x64 only): registry reads by the camera side's own
# operations over device keys the probe writes, and the system device enumerator of a machine
# without cameras (tests/os/win32/uvc_win32_probe.cpp).
set -euo pipefail
source scripts/lib/wine.sh
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j "$FCP_JOBS" --target uvc_win32_probe
probe=$PWD/build/windows-x64/tests/os/win32/uvc_win32_probe.exe

# The prefix of the Wine application stage when it is there; a console probe needs no display.
fcp_wine_env "$PWD/build/wine/prefix"
fcp_wine_prefix
status=0
output=$(timeout 120 "$wine" "$probe" 2> >(fcp_wine_quiet)) || status=$?
timeout 60 wineserver -w || true
output=${output//$'\r'/}  # console text comes with CR LF
echo "$output"
# A program that did not run can exit 0 too: the last line must say so.
[[ $status -eq 0 && $(tail -n1 <<<"$output") == "all checks passed" ]]
