# clang's static analyzer and clang-tidy's bug-prone and CERT checks over the code that runs with the
# highest rights: the driver (src/driver) and the driver service and camera layer (src/passthrough).
# Each source is read as the Windows x64 build compiles it (code behind _WIN32 included); the Linux
# build compiles the portable part of the same sources. Every finding is fixed, or suppressed at its
# line with the reason (// NOLINT(<check>): why); the stage fails on any finding and on any source
# clang cannot read.
#   bugprone-easily-swappable-parameters is left out: it asks for a different signature for every
#   pair of parameters of one type, a design rule rather than a fault.
set -euo pipefail
: "${FCP_JOBS:=$(nproc)}"
root=$(pwd)
checks='-*,bugprone-*,cert-*,clang-analyzer-*,-bugprone-easily-swappable-parameters'
clang_tidy=$(command -v clang-tidy || command -v clang-tidy-14)
cmake --preset windows-x64 >/dev/null
build=$root/build/windows-x64
sources=$(jq -r '.[].file' "$build/compile_commands.json" |
  grep -E "^$root/src/(driver|passthrough)/.*\.(c|cpp)$" | sort -u)
# clang finds the C++ library headers of the cross compiler only when told where they are.
cxx_dirs=$(x86_64-w64-mingw32-g++-posix -xc++ -E -v - </dev/null 2>&1 |
  sed -n '/search starts here/,/End of search/p' | grep '/include/c++' | sed 's/^ *//')
extra=()
for dir in $cxx_dirs; do extra+=("--extra-arg=-isystem$dir"); done
out=$root/build/static-analysis
rm -rf "$out" && mkdir -p "$out"
# One log per source, then every diagnostic once (a header's finding shows from each source).
printf '%s\n' $sources | xargs -P "$FCP_JOBS" -I{} bash -c \
  'log="$1/$(echo "$2" | tr / _).log"; "$3" -p "$4" --quiet --checks="$5" \
     --header-filter="^$6/src/(driver|passthrough)/" "${@:7}" "$2" >"$log" 2>&1 ||
     echo "$2:0:0: error: clang-tidy ended with exit code $?" >>"$log"' \
  bash "$out" {} "$clang_tidy" "$build" "$checks" "$root" "${extra[@]}"
findings=$(cat "$out"/*.log | grep -E '^/[^ ]+:[0-9]+:[0-9]+: (warning|error):' | sed "s|^$root/||" | sort -u || true)
count=$(grep -c . <<<"$findings" || true)
echo "static analysis: $(wc -w <<<"$sources") sources of src/driver and src/passthrough, $count findings"
[[ $count -eq 0 ]] || { echo "$findings"; exit 1; }
