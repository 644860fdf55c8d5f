#!/usr/bin/env bash
# Builds the guest machine's root file system as an uncompressed initramfs (the kernel unpacks it
# faster than a compressed one under TCG), from this machine's own files:
#   busybox (static) and its applets, udev (systemd-udevd, udevadm, the rules), dpkg, the Linux
#   tool, the USB/IP server over the virtual workstation and the hot-plug probe, each with the
#   shared libraries it loads; the kernel modules of USB/IP and uvcvideo from the guest kernel's
#   package, with the order to load them in; users root and station (in plugdev, not in video).
#
#   make-initramfs.sh <out.cpio> <kernel dir> <build dir> <package.deb> <guest dir> <scenarios>
# <guest dir> holds init, lib.sh and rows.sh; they and the scenario files go to /opt/guest.
set -euo pipefail
out=$1 kernel=$2 build=$3 deb=$4 guest=$5 scenarios=$6

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
for d in bin sbin lib lib64; do ln -s "usr/$d" "$root/$d"; done
mkdir -p "$root"/{usr/bin,usr/sbin,usr/lib,usr/lib64,etc,proc,sys,dev,run,tmp,root,home,var/lib/dpkg/info,var/lib/dpkg/updates,opt/guest/bin,station}

# A host file at the same path; a path through symlinks becomes a link to the real file.
put() {
  local dir real path
  dir=$(readlink -f "$(dirname "$1")")
  path="$dir/$(basename "$1")"
  real=$(readlink -f "$1")
  [[ -e "$root$real" ]] || install -D -m "$(stat -c %a "$real")" "$real" "$root$real"
  if [[ "$path" != "$real" && ! -e "$root$path" && ! -L "$root$path" ]]; then
    mkdir -p "$root$dir"
    ln -s "$real" "$root$path"
  fi
}
# An executable or library with every shared library it loads.
put_elf() {
  put "$1"
  ldd "$1" 2>/dev/null | awk '/=> \// { print $3 } /^[[:space:]]*\/[^ ]+ \(/ { print $1 }' |
    while read -r lib; do put "$lib"; done
}
# One of our own programs, without its debugging information.
put_built() {
  put_elf "$1"
  install -D -m 755 "$1" "$root$2"
  strip --strip-unneeded "$root$2"
}

put /usr/bin/busybox
ln -s busybox "$root/usr/bin/sh"
put_elf /usr/bin/udevadm
put /lib/systemd/systemd-udevd
put_elf /usr/lib/udev/v4l_id
cp -a /usr/lib/udev/rules.d "$root/usr/lib/udev/"
mkdir -p "$root/etc/udev"
cp /etc/udev/udev.conf "$root/etc/udev/" 2>/dev/null || true
put_elf /usr/bin/dpkg
put_elf /usr/bin/dpkg-deb
put_elf /usr/bin/dpkg-split
put /usr/sbin/ldconfig
put_elf /usr/sbin/start-stop-daemon
cp /etc/nsswitch.conf "$root/etc/"
mkdir -p "$root/etc/dpkg"

put_built "$build/src/app/fixcorepower" /station/fixcorepower
put_built "$build/tools/usbip-workstation/usbip-workstation" /opt/guest/bin/usbip-workstation
put_built "$build/tests/linux_guest/linux_guest_hotplug_probe" /opt/guest/bin/linux_guest_hotplug_probe
cp "$deb" "$root/opt/guest/fixcorepower.deb"
cp "$guest/lib.sh" "$guest/rows.sh" "$root/opt/guest/"
cp -r "$scenarios" "$root/opt/guest/scenarios"
install -m 755 "$guest/init" "$root/init"

# dpkg's view of this machine, for the packages the tool's package depends on: their status and
# file lists (dpkg checks the dependencies and the files of installed packages, nothing more).
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed -E 's/\(.*\)//; s/\|.*//; s/[[:space:]]//g' | sed '/^$/d')
arch=$(dpkg --print-architecture)
for pkg in $depends; do
  # With a foreign architecture added a library has several instances: this machine's is meant.
  { dpkg-query -s "$pkg:$arch" 2>/dev/null || dpkg-query -s "$pkg"; } >> "$root/var/lib/dpkg/status"
  echo >> "$root/var/lib/dpkg/status"
  for list in /var/lib/dpkg/info/"$pkg".list /var/lib/dpkg/info/"$pkg":*.list; do
    [[ -e "$list" ]] && cp "$list" "$root/var/lib/dpkg/info/"
  done
done
touch "$root/var/lib/dpkg/available"

# Users: this machine's system users and groups, and the station operator, in plugdev only.
cp /etc/passwd /etc/group "$root/etc/"
station_id=1000
while cut -d: -f3 /etc/passwd /etc/group | grep -qx "$station_id"; do station_id=$((station_id + 1)); done
echo "station:x:$station_id:$station_id:Station operator:/home/station:/bin/sh" >> "$root/etc/passwd"
echo "station:x:$station_id:" >> "$root/etc/group"
sed -i -E 's/^(plugdev:x:[0-9]+:)(.*)$/\1\2,station/; s/^(plugdev:x:[0-9]+:),/\1/' "$root/etc/group"
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

(cd "$root" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) > "$out.tmp"
mv "$out.tmp" "$out"
