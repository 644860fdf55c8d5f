#!/usr/bin/env bash
# Builds the guest machine's root file system as an uncompressed initramfs (the kernel unpacks it
# faster than a compressed one under TCG), from this machine's own files:
#   busybox (static) and its applets, udev (systemd-udevd, udevadm, the rules), dpkg, the Linux
#   tool, the USB/IP server over the virtual workstation and the hot-plug probe, each with the
#   shared libraries it loads; the kernel modules of USB/IP and uvcvideo from the guest kernel's
#   package, with the order to load them in; users root and station (in neither plugdev nor video:
#   the operator's guide's install steps add them).
#
#   make-initramfs.sh <out.cpio> <kernel dir> <build dir> <package dir> <guest dir> <scenario dir>...
# <package dir> holds the Debian packages (*.deb); they go to /opt/guest/clone/build/linux/package, where
# the guide's install steps find them. <guest dir> holds init, lib.sh, rows.sh and
# guide-install.guest.sh; they go to /opt/guest (the last as guide-install.sh), the scenario files
# (*.json of each scenario dir) to /opt/guest/scenarios.
set -euo pipefail
out=$1 kernel=$2 build=$3 packages=$4 guest=$5
shift 5

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
for d in bin sbin lib lib64; do ln -s "usr/$d" "$root/$d"; done
mkdir -p "$root"/{usr/bin,usr/sbin,usr/lib,usr/lib64,etc,proc,sys,dev,run,tmp,root,home,var/lib/dpkg/info,var/lib/dpkg/updates,opt/guest/bin,station}

# Host files wanted at the same path in the image, copied at the end with one cp (processes are
# what costs time on a busy machine). A path through a symbolic link is copied as the file it names.
wanted=()
put() { wanted+=("$@"); }
# The shared libraries an executable loads.
put_libs() {
  mapfile -t -O "${#wanted[@]}" wanted < <(ldd "$1" 2>/dev/null | awk '/=> \// { print $3 } /^[[:space:]]*\/[^ ]+ \(/ { print $1 }')
}
# An executable or library with every shared library it loads.
put_elf() {
  wanted+=("$1")
  put_libs "$1"
}
# One of our own programs, without its debugging information.
put_built() {
  put_libs "$1"
  install -D -m 755 "$1" "$root$2"
  strip --strip-unneeded "$root$2"
}
copy_wanted() {
  local dirs=() i paths=()
  mapfile -t dirs < <(printf '%s\n' "${wanted[@]%/*}" | xargs realpath -e --)
  for i in "${!wanted[@]}"; do paths+=("${dirs[i]}/${wanted[i]##*/}"); done
  mapfile -t paths < <(printf '%s\n' "${paths[@]}" | LC_ALL=C sort -u)
  cp -L --parents -t "$root" "${paths[@]}"
}

put /usr/bin/busybox
put_elf /usr/bin/udevadm
put /lib/systemd/systemd-udevd
put_elf /usr/lib/udev/v4l_id
mkdir -p "$root/usr/lib/udev"
cp -a /usr/lib/udev/rules.d "$root/usr/lib/udev/"
mkdir -p "$root/etc/udev"
cp /etc/udev/udev.conf "$root/etc/udev/" 2>/dev/null || true
put_elf /usr/bin/dpkg
put_elf /usr/bin/dpkg-deb
put_elf /usr/bin/dpkg-query
put_elf /usr/bin/dpkg-split
put_elf /usr/bin/tar  # dpkg-deb unpacks with GNU tar
put /usr/sbin/ldconfig
put_elf /usr/sbin/start-stop-daemon
cp /etc/nsswitch.conf "$root/etc/"
mkdir -p "$root/etc/dpkg"

put_built "$build/src/app/fixcorepower" /station/fixcorepower
put_built "$build/tools/usbip-workstation/usbip-workstation" /opt/guest/bin/usbip-workstation
put_built "$build/tests/system/linux_guest/linux_guest_hotplug_probe" /opt/guest/bin/linux_guest_hotplug_probe
mkdir -p "$root/opt/guest/clone/build/linux/package"
cp "$packages"/*.deb "$root/opt/guest/clone/build/linux/package/"
cp "$guest/lib.sh" "$guest/rows.sh" "$root/opt/guest/"
cp "$guest/guide-install.guest.sh" "$root/opt/guest/guide-install.sh"
mkdir -p "$root/opt/guest/scenarios"
for dir in "$@"; do cp "$dir"/*.json "$root/opt/guest/scenarios/"; done
install -m 755 "$guest/init" "$root/init"

# An empty dpkg database: the stage checks the package's dependencies against this machine with
# apt, the guest installs it over the libraries that are there.
touch "$root/var/lib/dpkg/status"
touch "$root/var/lib/dpkg/available"

# Users: this machine's system users and groups, and the station operator in no group but its own.
cp /etc/passwd /etc/group "$root/etc/"
station_id=1000
while cut -d: -f3 /etc/passwd /etc/group | grep -qx "$station_id"; do station_id=$((station_id + 1)); done
echo "station:x:$station_id:$station_id:Station operator:/home/station:/bin/sh" >> "$root/etc/passwd"
echo "station:x:$station_id:" >> "$root/etc/group"
mkdir -p "$root/home/station"

# Kernel modules with everything they depend on, in loading order (a module after its
# dependencies), read from each module's own "depends=" field.
release=$(ls "$kernel/root/lib/modules")
moddir="$kernel/root/lib/modules/$release"
declare -A path_of=() seen=()
while read -r ko; do
  name=${ko##*/}
  name=${name%.ko}
  path_of[${name//-/_}]=$ko
done < <(find "$moddir/kernel" -name '*.ko')
order=()
visit() {
  local name=${1//-/_} dep
  [[ -n "${seen[$name]:-}" ]] && return
  seen[$name]=1
  [[ -n "${path_of[$name]:-}" ]] || { echo "make-initramfs: no module $name in $moddir" >&2; exit 1; }
  for dep in $(strings -a "${path_of[$name]}" | sed -n 's/^depends=//p' | tr ',' ' '); do visit "$dep"; done
  order+=("$name")
}
for m in usbip_core vhci_hcd uvcvideo; do visit "$m"; done
mkdir -p "$root/lib/modules/$release"
for name in "${order[@]}"; do
  cp "${path_of[$name]}" "$root/lib/modules/$release/$name.ko"
  echo "$name.ko" >> "$root/lib/modules/$release/load-order"
done

copy_wanted
ln -s busybox "$root/usr/bin/sh"

(cd "$root" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) > "$out.tmp"
mv "$out.tmp" "$out"
