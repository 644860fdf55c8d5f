#!/usr/bin/env bash
# libusb-1.0 for the Windows builds: Debian ships no mingw-w64 build of it, so we build Debian's own
# source package with the cross compilers, as a static library, once per architecture.
#
# The source comes through a private apt configuration (its own sources list with a deb-src entry,
# its own lists and cache), so the machine's apt sources stay as they are.
#
# Result: $FCP_LIBUSB_MINGW_PREFIX/<triplet>/{include/libusb-1.0/libusb.h,lib/libusb-1.0.a}
# (default prefix /opt/fcp/libusb-mingw; cmake/Libusb.cmake looks there). Skips what is built already.
set -euo pipefail

prefix=${FCP_LIBUSB_MINGW_PREFIX:-/opt/fcp/libusb-mingw}
triplets=(x86_64-w64-mingw32 i686-w64-mingw32)
suite=bookworm
# The mirror this machine already uses for the suite (deb822 sources, then one-line lists).
machine_mirror() {
  awk -v suite="$suite" '
    /^URIs:/ { uris = $2 } /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite) found = 1 }
    /^$/ { if (found && uris) { print uris; exit } found = 0; uris = "" }
    END { if (found && uris) print uris }' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1
  awk -v suite="$suite" '$1 == "deb" && $0 ~ " " suite " " { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' \
    /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | head -n1
  return 0  # a missing sources file is no error
}
mirror=${FCP_DEBIAN_MIRROR:-$(machine_mirror | head -n1)}
mirror=${mirror:-http://deb.debian.org/debian}

built() { [[ -f "$prefix/$1/lib/libusb-1.0.a" && -f "$prefix/$1/include/libusb-1.0/libusb.h" ]]; }

todo=()
for t in "${triplets[@]}"; do built "$t" || todo+=("$t"); done
((${#todo[@]})) || exit 0

sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" mkdir -p "$prefix"
"${sudo_cmd[@]}" chown "$(id -u):$(id -g)" "$prefix"

# Private apt state beside the result, kept so a second run needs no download.
apt_dir="$prefix/.apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
cat >"$apt_dir/sources.list" <<EOF
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main
EOF
apt_opts=(
  -o "Dir::Etc::SourceList=$apt_dir/sources.list"
  -o "Dir::Etc::SourceParts=$apt_dir/parts"
  -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::Cache=$apt_dir/cache"
  -o "APT::Sandbox::User=root"
)

src_root="$prefix/.src"
if ! compgen -G "$src_root/libusb-1.0-*/configure" >/dev/null; then
  echo "bootstrap: fetching Debian's libusb-1.0 source package"
  apt-get "${apt_opts[@]}" -qq update
  rm -rf "$src_root" && mkdir -p "$src_root"
  (cd "$src_root" && apt-get "${apt_opts[@]}" -qq source libusb-1.0 >/dev/null)
fi
src=$(compgen -G "$src_root/libusb-1.0-*/configure" | head -n1)
src=$(dirname "$src")

for t in "${todo[@]}"; do
  echo "bootstrap: building libusb-1.0 for $t"
  work="$prefix/.build-$t"
  rm -rf "$work" && mkdir -p "$work"
  (
    cd "$work"
    "$src/configure" --host="$t" --prefix="$prefix/$t" --enable-static --disable-shared \
      --disable-examples-build --disable-tests-build CC="$t-gcc-posix" >configure.log 2>&1 ||
      { tail -n 30 configure.log; exit 1; }
    make -j"$(nproc)" >make.log 2>&1 || { tail -n 30 make.log; exit 1; }
    make install >install.log 2>&1 || { tail -n 30 install.log; exit 1; }
  )
  rm -rf "$work"
  built "$t" || { echo "bootstrap: libusb-1.0 for $t did not install"; exit 1; }
done
