# The tool's own driver installer under Wine, on the prefix of the driver stage (70): the embedded
# x64 image written out, installed as a kernel service, shared by a second process and removed by
# the last one; the local override; the kept copy's version rule; and the 32-bit tool on 64-bit
# Windows (tests/system/wine_driver/kvxupx_service_probe.cpp, built by both Windows presets).
set -euo pipefail
: "${FCP_JOBS:=$(nproc)}"
source scripts/lib/wine.sh
for preset in windows-x64 windows-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$FCP_JOBS" --target kvxupx_service_probe
done

work=build/wine-driver
fcp_wine_env "$PWD/$work/prefix"
fcp_wine_prefix
cp build/windows-x64/tests/system/wine_driver/kvxupx_service_probe.exe "$WINEPREFIX/drive_c/kvxupx_service_probe.exe"
cp build/windows-x86/tests/system/wine_driver/kvxupx_service_probe.exe "$WINEPREFIX/drive_c/kvxupx_service_probe32.exe"
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
timeout 60 wineserver -w || true
exit $status
