# Both Windows builds (mingw-w64, warnings as errors), and every executable and DLL they make is
# self-contained: it imports system DLLs only, no MinGW runtime (libgcc, libstdc++, winpthread); the
# tool carries the three driver images, each with its right PE checksum, its version resource and
# icon, and ships stripped.
set -euo pipefail
: "${FCP_JOBS:=$(nproc)}"

# check_tool <preset>: FixCorePower.exe as it ships. Its version resource says the build's version
# (FCP_VERSION, which the Debian packages carry too), publisher and copyright; its icon has a 256-pixel
# image; it holds no debugging information, and names the file that does (FixCorePower.exe.debug beside
# it, with the CRC a debugger checks) in its .gnu_debuglink section.
check_tool() {
  local dir=build/$1 exe=build/$1/src/app/FixCorePower.exe objdump=${2}-objdump objcopy=${2}-objcopy
  local rsrc problems=()
  setting() { sed -n "s/^$1:STRING=//p" "$dir/CMakeCache.txt"; }
  rsrc=$(mktemp)
  "$objcopy" -O binary --only-section=.rsrc "$exe" "$rsrc"
  # The string table's values follow their names (UTF-16).
  value() { strings -el "$rsrc" | sed -n "/^$1\$/{n;p;q}"; }
  local version company copyright
  version=$(setting FCP_VERSION) company=$(setting FCP_COMPANY_NAME) copyright=$(setting FCP_LEGAL_COPYRIGHT)
  [[ $(value FileVersion) == "$version" && $(value ProductVersion) == "$version" ]] ||
    problems+=("FileVersion/ProductVersion '$(value FileVersion)'/'$(value ProductVersion)', not FCP_VERSION '$version'")
  # The fixed part (VS_FIXEDFILEINFO after its signature FEEF04BD): file and product version, 16 bits a part.
  local fixed want
  fixed=$(od -A n -t x1 -v "$rsrc" | tr -d ' \n' | grep -o 'bd04effe00000100.\{32\}' | cut -c17-) || true
  IFS=. read -r a b c d <<<"$version"
  want=$(printf '%04x%04x%04x%04x' "$b" "$a" "$d" "$c" | sed -E 's/(..)(..)/\2\1/g')
  [[ $fixed == "$want$want" ]] || problems+=("fixed version information $fixed, not $version")
  [[ $(value CompanyName) == "$company" ]] || problems+=("CompanyName '$(value CompanyName)', not '$company'")
  [[ $(value LegalCopyright) == "$copyright" ]] || problems+=("LegalCopyright '$(value LegalCopyright)', not '$copyright'")
  # A 256 x 256 image among the icon's: PNG-compressed, as Windows keeps that size.
  od -A n -t x1 -v "$rsrc" | tr -d ' \n' | grep -q '89504e470d0a1a0a0000000d494844520000010000000100' ||
    problems+=("no 256-pixel icon image")
  if "$objdump" -h "$exe" | grep -q ' \.debug_'; then problems+=("debugging information inside the executable"); fi
  "$objdump" -h "$exe.debug" | grep -q ' \.debug_info ' || problems+=("no debugging information in $exe.debug")
  # .gnu_debuglink: the file name, NUL-padded to 4 bytes, then the CRC-32 of that file (gzip's own).
  local link crc
  "$objcopy" --dump-section .gnu_debuglink="$rsrc" "$exe" "$rsrc.exe" 2>/dev/null || : > "$rsrc"
  link=$(od -A n -t x1 -v "$rsrc" | tr -d ' \n')
  rm -f "$rsrc" "$rsrc.exe"
  crc=$(gzip -c "$exe.debug" | tail -c 8 | head -c 4 | od -A n -t x1 | tr -d ' \n')
  [[ $link == "$(printf 'FixCorePower.exe.debug' | od -A n -t x1 | tr -d ' \n')0000$crc" ]] ||
    problems+=(".gnu_debuglink '$link' does not name FixCorePower.exe.debug with its CRC $crc")
  if ((${#problems[@]})); then
    printf "$exe: %s\n" "${problems[@]}"
    return 1
  fi
  echo "$1: FixCorePower.exe $version, '$company', '$copyright', icon up to 256 px," \
       "$(stat -c %s "$exe") bytes stripped, debugging information in FixCorePower.exe.debug"
}
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
  case $preset in
    windows-x64) check_tool "$preset" x86_64-w64-mingw32 ;;
    windows-x86) check_tool "$preset" i686-w64-mingw32 ;;
  esac
done
