# The KvxUpx driver images: x86, x64 and ARM64 link as native-subsystem drivers for their processor,
# importing from ntoskrnl.exe, hal.dll and usbd.sys only; the x64 image then runs under Wine as a
# demand-start kernel service, and a probe program checks its device's answers
# (tests/system/wine_driver/kvxupx_wine_probe.cpp).
set -euo pipefail
source scripts/lib/wine.sh
: "${FCP_JOBS:=$(nproc)}"
check_image() {  # image, expected machine type as objdump -f names it
  local header imports
  header=$(llvm-objdump -p "$1"; llvm-objdump -f "$1")
  imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$header")
  if grep -Eviq '^(ntoskrnl\.exe|hal\.dll|usbd\.sys)$' <<<"$imports"; then
    echo "$1 imports from other modules:"; echo "$imports"; exit 1
  fi
  grep -q 'Subsystem.*(NT native)' <<<"$header" || { echo "$1 is not a native-subsystem image"; exit 1; }
  grep -qi "file format.*$2" <<<"$header" || { echo "$1 is not a $2 image"; exit 1; }
  echo "$1: $(stat -c %s "$1") bytes, imports $(tr '\n' ' ' <<<"$imports")"
}
for preset in windows-x64 windows-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$FCP_JOBS" --target kvxupx_driver
done
cmake --build --preset windows-x64 -j "$FCP_JOBS" --target kvxupx_driver_arm64 kvxupx_wine_probe
check_image build/windows-x64/src/driver/wdm/KvxUpx.sys coff-x86-64
check_image build/windows-x86/src/driver/wdm/KvxUpx.sys coff-i386
check_image build/windows-x64/src/driver/wdm/arm64/KvxUpx.sys coff-arm64

work=build/wine-driver
mkdir -p "$work"

# A private prefix; no display is needed for a console probe and a driver host.
fcp_wine_env "$PWD/$work/prefix"
fcp_wine_prefix
cp build/windows-x64/src/driver/wdm/KvxUpx.sys "$WINEPREFIX/drive_c/windows/system32/drivers/KvxUpx.sys"
cp build/windows-x64/tests/system/wine_driver/kvxupx_wine_probe.exe "$WINEPREFIX/drive_c/kvxupx_wine_probe.exe"
status=0
timeout 180 "$wine" 'C:\kvxupx_wine_probe.exe' 'C:\windows\system32\drivers\KvxUpx.sys' 2> >(fcp_wine_quiet) || status=$?
timeout 60 wineserver -w || true
exit $status
