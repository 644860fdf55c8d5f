# Both Windows builds (mingw-w64, warnings as errors), and every executable they make is
# self-contained: it imports system DLLs only, no MinGW runtime (libgcc, libstdc++, winpthread).
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
  done < <(find "build/$preset" -name '*.exe' -not -path '*/CMakeFiles/*' -print0)
done
