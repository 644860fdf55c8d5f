# Both Windows builds (mingw-w64, warnings as errors), and every executable and DLL they make is
# self-contained: it imports system DLLs only, no MinGW runtime (libgcc, libstdc++, winpthread); the
# tool carries the three driver images, each with its right PE checksum.
set -euo pipefail
: "${FCP_JOBS:=$(nproc)}"
for preset in windows-x64 windows-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$FCP_JOBS"
  while IFS= read -r -d '' exe; do
    imports=$(objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
    if grep -Eiq '^(libgcc|libstdc|libwinpthread|libusb)' <<<"$imports"; then
      echo "$exe depends on a runtime DLL:"; echo "$imports"; exit 1
    fi
    echo "$preset: $(basename "$exe") imports $(tr '\n' ' ' <<<"$imports")"
  done < <(find "build/$preset" \( -name '*.exe' -o -name '*.dll' \) -not -path '*/CMakeFiles/*' -print0)
  # The tool carries the x86, x64 and ARM64 driver images, unchanged (src/passthrough/driver_images.cmake).
  case $preset in
    windows-x64) images="build/$preset/driver-images-x86/src/driver/wdm/KvxUpx.sys;build/$preset/src/driver/wdm/KvxUpx.sys;build/$preset/src/driver/wdm/arm64/KvxUpx.sys" ;;
    windows-x86) images="build/$preset/src/driver/wdm/KvxUpx.sys;build/$preset/driver-images-x64/src/driver/wdm/KvxUpx.sys;build/$preset/driver-images-x64/src/driver/wdm/arm64/KvxUpx.sys" ;;
  esac
  cmake -DEXE="build/$preset/src/app/FixCorePower.exe" -DIMAGES="$images" -P scripts/check-embedded-images.cmake
  # The system loads no driver whose PE checksum is wrong (the ARM64 linker leaves it 0).
  cmake -DIMAGES="$images" -P scripts/check-pe-checksum.cmake
done
