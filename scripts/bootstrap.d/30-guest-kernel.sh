#!/usr/bin/env bash
# Debian's own kernel for the guest machine of the Linux guest stage: the binary package that
# linux-image-amd64 points at, fetched with apt-get download (never installed on this machine), its
# files unpacked, and the ELF vmlinux taken out of the compressed bzImage (qemu boots the ELF image
# through its PVH entry several seconds faster than the bzImage under TCG).
#
# Result: $FCP_GUEST_KERNEL_DIR/current -> <package version>/ with vmlinux and root/
# (the unpacked package: root/lib/modules/<release>/...). Default /opt/fcp/guest-kernel. Skips what
# is there already.
set -euo pipefail

dir=${FCP_GUEST_KERNEL_DIR:-/opt/fcp/guest-kernel}
package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
if [[ -z "$package" ]]; then
  apt-get update -qq
  package=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
fi
[[ -n "$package" ]] || { echo "guest kernel: no linux-image package known to apt" >&2; exit 1; }
version=$(apt-cache policy "$package" | awk '/Candidate:/ { print $2 }')
target="$dir/$package-$version"

if [[ ! -f "$target/vmlinux" ]]; then
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" mkdir -p "$dir"
  "${sudo_cmd[@]}" chown "$(id -u):$(id -g)" "$dir"
  work=$(mktemp -d "$dir/.fetch.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  (cd "$work" && apt-get download -q "$package=$version" 2>&1 | grep -v 'unsandboxed as root' || true)
  ls "$work"/*.deb >/dev/null
  dpkg-deb -x "$work"/*.deb "$work/root"
  bzimage=$(ls "$work"/root/boot/vmlinuz-*)
  # The payload is one xz stream inside the bzImage: find its magic, decompress the first stream.
  offset=$(LC_ALL=C grep -abo $'\xfd7zXZ\x00' "$bzimage" | head -n1 | cut -d: -f1)
  [[ -n "$offset" ]] || { echo "guest kernel: no xz payload in $bzimage" >&2; exit 1; }
  # (xz stops reading after its stream, so tail may end by SIGPIPE: the ELF check below decides.)
  tail -c +"$((offset + 1))" "$bzimage" | xz -dc --single-stream > "$work/vmlinux" || true
  [[ $(head -c 4 "$work/vmlinux" | od -An -tx1 | tr -d ' ') == 7f454c46 ]] || {
    echo "guest kernel: the payload of $bzimage is no ELF image" >&2; exit 1; }
  chmod 755 "$work"
  rm -f "$work"/*.deb
  rm -rf "$target"
  mv "$work" "$target"
  trap - EXIT
  echo "guest kernel: $package $version in $target"
fi
ln -sfn "$(basename "$target")" "$dir/current"
