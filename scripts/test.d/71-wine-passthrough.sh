# The tool's own driver installer under Wine, on the prefix of the driver stage (70): the embedded
# x64 image written out, installed as a kernel service, shared by a second process and removed by
# the last one; the local override; the temporary directory left alone; the installed file's version
# rule; and the 32-bit tool on 64-bit Windows (tests/system/wine_driver/kvxupx_service_probe.cpp, built
# by both Windows presets). Then the camera layer's device-setup adapter against Wine's SetupAPI and
# configuration manager, over a camera the probe writes into the prefix's device database and removes
# again (tests/os/win32/device_setup_win32_probe.cpp): its "gap" lines name what Wine does not serve.
set -euo pipefail
: "${FCP_JOBS:=$(nproc)}"
source scripts/lib/wine.sh
for preset in windows-x64 windows-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$FCP_JOBS" --target kvxupx_service_probe
done
cmake --build --preset windows-x64 -j "$FCP_JOBS" --target device_setup_win32_probe

work=build/wine-driver
fcp_wine_env "$PWD/$work/prefix"
fcp_wine_prefix
cp build/windows-x64/tests/system/wine_driver/kvxupx_service_probe.exe "$WINEPREFIX/drive_c/kvxupx_service_probe.exe"
cp build/windows-x86/tests/system/wine_driver/kvxupx_service_probe.exe "$WINEPREFIX/drive_c/kvxupx_service_probe32.exe"
cp build/windows-x64/tests/os/win32/device_setup_win32_probe.exe "$WINEPREFIX/drive_c/device_setup_win32_probe.exe"
status=0
echo "--- 64-bit tool"
timeout 300 "$wine" 'C:\kvxupx_service_probe.exe' main 2> >(fcp_wine_quiet) || status=$?
echo "--- 32-bit tool on 64-bit Windows"
# Needs 32-bit Wine (wine32:i386, not in the bootstrap) and a kernel that runs 32-bit programs: the
# kernels here have their 32-bit emulation switched off, so the 32-bit loader cannot start. The
# simulated Windows covers the 32-bit tool (tests/passthrough).
if [[ -x /usr/lib/wine/wine ]] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  timeout 300 /usr/lib/wine/wine 'C:\kvxupx_service_probe32.exe' wow64 2> >(fcp_wine_quiet) || status=$?
else
  echo "limit the 32-bit tool cannot run here: no 32-bit Wine or no 32-bit execution in this kernel"
fi
echo "--- the camera layer's device setup"
setup_status=0
output=$(timeout 120 "$wine" 'C:\device_setup_win32_probe.exe' 2> >(fcp_wine_quiet)) || setup_status=$?
output=${output//$'\r'/}  # console text comes with CR LF
echo "$output"
# A program that did not run can exit 0 too: the last line must say so.
[[ $setup_status -eq 0 && $(tail -n1 <<<"$output") == "all checks passed" ]] || status=1
timeout 60 wineserver -w || true
exit $status
