# The Debian packages and the Linux tool against a real kernel. The packages are built from a clean copy
# of the tree by the build steps of docs/OPERATORS.md exactly as written, then checked here (lintian,
# dependencies, the module's place); a qemu guest (TCG) with Debian's kernel, the virtual workstation's
# camera attached over USB/IP, installs them by the guide's install steps and runs the tool as an
# unprivileged user. One boot runs the table of rows below; each row's exit code and output are checked
# here.
set -euo pipefail
root=$(pwd)
build=build/linux
kernel=${FCP_GUEST_KERNEL_DIR:-/opt/fcp/guest-kernel}/current
work=$build/linux-guest
mkdir -p "$work"
failed=0
pass() { echo "ok   $1"; }
fail() { echo "FAIL $1: $2"; failed=$((failed + 1)); }
host_rows=0

# The guide's code blocks under its heading "Installing on a Linux station": the first builds the
# packages in a clone, the second installs them as root.
guide=docs/OPERATORS.md
guide_block() {
  awk -v want="$1" '/^## / { on = ($0 ~ /^## Installing on a Linux station/) } on && /^```/ { if (inside) { inside = 0; n++ } else if ($0 == "```sh") inside = 1; next } on && inside && n + 1 == want' "$guide"
}
guide_block 1 > "$work/guide-build.sh"
guide_block 2 > "$work/guide-install.sh"
if [[ ! -s "$work/guide-build.sh" || ! -s "$work/guide-install.sh" ]]; then
  echo "$guide: no build and install steps under '## Installing on a Linux station'"
  exit 1
fi

# A clean copy of the tree (what a clone of it holds: tracked files and new ones not ignored), and the
# build steps run there as written.
clone=$root/$work/clone
rm -rf "$clone" && mkdir -p "$clone"
git ls-files -z --cached --others --exclude-standard | cpio -0 -pdm --quiet "$clone"
echo "guide's build steps in a clean copy:"
sed 's/^/  | /' "$work/guide-build.sh"
if ! (cd "$clone" && bash -e "$root/$work/guide-build.sh") > "$work/guide-build.log" 2>&1; then
  echo "FAIL guide-build: the guide's build steps failed in a clean copy (log: $work/guide-build.log)"
  tail -n 20 "$work/guide-build.log" | sed 's/^/       | /'
  exit 1
fi
host_rows=$((host_rows + 1)); pass guide-build
version=$(sed -n 's/^FCP_VERSION:STRING=//p' "$clone/$build/CMakeCache.txt")
packages=$clone/$build/package
deb=$packages/fixcorepower_${version}_amd64.deb
gtk_deb=$packages/fixcorepower-gtk_${version}_amd64.deb
ls -1 "$packages"
for package in "$deb" "$gtk_deb"; do
  [[ -f "$package" ]] || { echo "FAIL packages: no $package (FCP_VERSION $version)"; exit 1; }
  echo "$(basename "$package"):"
  dpkg-deb -c "$package" | awk '{ print "  " $6 }' | grep -v '/$'
done

# lintian as Debian's archive runs it, pedantic and experimental included. The one finding left:
# no copyright file, which needs a licence the project has not chosen.
host_rows=$((host_rows + 1))
lintian -EvIL +pedantic "$deb" "$gtk_deb" > "$work/lintian.log" 2>&1 || true
findings=$(grep -E '^[EWIPX]: ' "$work/lintian.log" | grep -Ev '^E: fixcorepower(-gtk)?: no-copyright-file$' || true)
if [[ -z $findings ]] && grep -q '^E: fixcorepower: no-copyright-file$' "$work/lintian.log"; then
  pass "lintian: $(grep -c '^[EWIPX]: ' "$work/lintian.log") findings, each no-copyright-file"
else
  fail lintian "findings beyond no-copyright-file (log: $work/lintian.log)"
  sed 's/^/       | /' <<<"${findings:-no lintian output}"
fi

# Each package installable here on its own (apt resolves its dependencies; the guest's dpkg database
# is empty), the dialog's only with the tool of the same version; and the tool's pulls no GTK.
host_rows=$((host_rows + 3))
simulate() { apt-get install -s -q --no-install-recommends "$@" 2>&1; }
if simulate "$deb" | grep -q '^Inst fixcorepower ' &&
   simulate "$deb" "$gtk_deb" | grep -q '^Inst fixcorepower-gtk '; then
  pass package-deps
else
  fail package-deps "apt cannot install them: $(simulate "$deb" "$gtk_deb" | tail -n 3 | tr '\n' ' ')"
fi
tool_depends=$(dpkg-deb -f "$deb" Depends)
if [[ -n $tool_depends ]] && ! grep -Eq 'gtk|gdk|cairo|pango|libx11|wayland' <<<"$tool_depends"; then
  pass "tool-headless: fixcorepower depends on $tool_depends"
else
  fail tool-headless "fixcorepower depends on '$tool_depends'"
fi
if [[ $(dpkg-deb -f "$gtk_deb" Depends) == *"fixcorepower (= $version)"* ]]; then
  pass "gtk-depends: fixcorepower-gtk needs fixcorepower $version"
else
  fail gtk-depends "fixcorepower-gtk depends on '$(dpkg-deb -f "$gtk_deb" Depends)'"
fi

# The package's tool finds the other package's GTK dialog module in the private directory when a
# display is named and the start is interactive (here a display nobody answers, so the dialog cannot
# open and the interactive start is refused: exit 255).
host_rows=$((host_rows + 1))
unpacked=$(mktemp -d)
dpkg-deb -x "$deb" "$unpacked"
dpkg-deb -x "$gtk_deb" "$unpacked"
set +e
env -u WAYLAND_DISPLAY DISPLAY=:97 LD_DEBUG=files "$unpacked/usr/bin/fixcorepower" 2> "$work/package-module.log" >/dev/null
package_module_rc=$?
set -e
if [[ $package_module_rc == 255 ]] &&
   grep -q "file=$unpacked/usr/lib/fixcorepower/fixcorepower-gtk.so .*dynamically loaded" "$work/package-module.log"; then
  pass package-module
else
  fail package-module "exit $package_module_rc; module not loaded from usr/lib/fixcorepower (log: $work/package-module.log)"
fi
rm -rf "$unpacked"

if [[ ! -f "$kernel/vmlinux" ]]; then
  echo "no guest kernel in $kernel: scripts/bootstrap fetches it (scripts/bootstrap.d/30-guest-kernel.sh)"
  exit 1
fi
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$FCP_JOBS" --target fixcorepower fixcorepower-sim usbip-workstation \
  linux_guest_hotplug_probe >/dev/null

# The guide's install steps for the guest: its two names set to the packages' place in the guest and to
# the station operator, every other line as written.
install_steps=$(grep -Ev '^(clone|operator)=' "$work/guide-install.sh")
if [[ $(grep -Ec '^(clone|operator)=' "$work/guide-install.sh") != 2 ]]; then
  echo "$guide: the install steps no longer start by setting clone= and operator="
  exit 1
fi
{
  echo 'clone=/opt/guest/clone'
  echo 'operator=station'
  echo "$install_steps"
} > "$work/guide-install.guest.sh"
plugdev_gid=$(getent group plugdev | cut -d: -f3)
video_gid=$(getent group video | cut -d: -f3)

# The rows, in the order the guest runs them: name, expected exit code, text the output must hold,
# and the guest's command (steps from tests/system/linux_guest/lib.sh). A row's output ends at its exit
# code; chip state carries over while the same scenario is served.
rows=(
  attach 0 'interface 1-1:1.0 class 0e driver uvcvideo'
    'serve blank_chip.json && bindings'
  repair 0 'result.txt: pass[|]'
    ': > /tmp/wire.trace; tool /station -s; rc=$?; cp /tmp/wire.trace /tmp/repair.trace; (exit $rc)'
  again 0 'vendor writes: 0'
    ': > /tmp/wire.trace; tool /station -s && vendor_writes'
  repair-trace 0 '@@file blank_chip.trace'
    'show_file blank_chip.trace /tmp/repair.trace'
  other-family 255 'FailedLog: It is not VZQ2202 IC[|]'
    'unserve; serve other_family.json && tool /station -s'
  xu-stall 255 'FailedLog: Failed to UVC_ReadMem 0x401002E4[|]'
    'unserve; : > /tmp/wire.trace; serve selector_read_stalls.json && tool /station -s; rc=$?; show_file selector_read_stalls.trace /tmp/wire.trace; (exit $rc)'
  xu-short 255 'FailedLog: Failed to UVC_ReadMem 0x401002E4[|]'
    'unserve; serve selector_read_short.json && tool /station -s'
  xu-empty 255 'FailedLog: Failed to UVC_ReadMem 0x401002E4[|]'
    'unserve; : > /tmp/wire.trace; serve selector_read_empty.json && tool /station -s; rc=$?; show_file selector_read_empty.trace /tmp/wire.trace; (exit $rc)'
  no-rule 255 'fixcorepower: no access to the camera [0-9a-f]{4}:[0-9a-f]{4} at [0-9.]+ .*: Permission denied'
    'unserve; serve blank_chip.json && mkdir -p /home/station/station && cp /station/fixcorepower /home/station/station/ && chown -R station /home/station/station && as_station /home/station/station -s'
  guide-install 0 "groups=.*[(]video[)]"
    'guide_install /opt/guest/guide-install.sh && id station'
  package 0 "crw-rw---- +1 0 +$plugdev_gid "
    'bindings'
  video-group 0 "crw-rw---- +1 0 +$video_gid .*/dev/video0"
    'ls -ln /dev/video0'
  user-station 0 'result.txt: pass[|]'
    'cp /usr/bin/fixcorepower /home/station/station/ && as_station /home/station/station -s'
  user-installed 0 'groups=.*[(]plugdev[)]'
    'as_station /usr/bin -s'
  gtk-package 0 'fixcorepower-gtk install ok installed'
    'ls /usr/lib/fixcorepower/fixcorepower-gtk.so /usr/share/applications/fixcorepower.desktop && /usr/bin/dpkg-query -W -f "\${Package} \${Status}\n" fixcorepower-gtk'
  gtk-removed 0 'tool without the dialog: rc=0'
    '/usr/bin/dpkg -r fixcorepower-gtk >/dev/null && [ ! -e /usr/lib/fixcorepower/fixcorepower-gtk.so ] && as_station /usr/bin -s; rc=$?; echo "tool without the dialog: rc=$rc"; (exit $rc)'
  hotplug 0 'check after the arrival: PASS'
    'unserve; hotplug'
)
{
  echo "# generated by scripts/test.d/80-linux-guest.sh"
  for ((i = 0; i < ${#rows[@]}; i += 4)); do
    printf 'row %q %q\n' "${rows[i]}" "${rows[i + 3]}"
  done
  echo 'unserve'
} > "$work/rows.sh"
cp tests/system/linux_guest/init tests/system/linux_guest/lib.sh "$work/"

scenario_dirs=(sim/scenarios tests/system/linux_guest/scenarios)
tests/system/linux_guest/make-initramfs.sh "$work/initramfs.cpio" "$kernel" "$build" "$packages" "$work" "${scenario_dirs[@]}"
echo "initramfs: $(du -h "$work/initramfs.cpio" | cut -f1)"

start=$(date +%s)
# no_timer_check: under TCG on a loaded host the kernel's boot-time timer check can fail and panic.
timeout 600 qemu-system-x86_64 -accel tcg -m 1024 -smp 1 -nodefaults -display none -serial stdio \
  -monitor none -no-reboot -kernel "$kernel/vmlinux" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0 quiet panic=-1 no_timer_check" </dev/null | tr -d '\r' > "$work/console.log" || true
echo "guest: $(( $(date +%s) - start )) s"
grep -E '^@@(guest|error)' "$work/console.log" || true

check() {  # check <name> <expected exit> <pattern>
  local name=$1 expected=$2 pattern=$3 output rc
  output=$(awk -v n="$name" '$0 ~ "^@@row " n " begin" { on = 1; next } on && $0 ~ "^@@row " n " rc=" { exit } on' "$work/console.log")
  rc=$(sed -n "s/^@@row $name rc=//p" "$work/console.log")
  if [[ "$rc" == "$expected" ]] && grep -qE -- "$pattern" <<<"$output"; then
    echo "ok   $name"
  else
    echo "FAIL $name: exit ${rc:-none} (want $expected), output must hold: $pattern"
    sed 's/^/       | /' <<<"$output"
    failed=$((failed + 1))
  fi
}
for ((i = 0; i < ${#rows[@]}; i += 4)); do
  check "${rows[i]}" "${rows[i + 1]}" "${rows[i + 2]//|/\\|}"
done

# Each trace the guest showed (@@file <scenario>.trace): the tool's own requests in it (extension-unit
# SET_CUR/GET_CUR, vendor requests), in order, must be those of the same scenario run on the virtual
# workstation; the kernel's enumeration, probe and error-code traffic may lie between them.
tool_requests() { grep -E '^[^ ]+ (2101|A181)[0-9A-F]{6}(0[1-9A-F]|[1-9A-F][0-9A-F])|^[^ ]+ (40|C0)' | cut -d' ' -f2-; }
traces=$(sed -n 's/^@@file \(.*\)\.trace$/\1/p' "$work/console.log")
for scenario in $traces; do
  rm -rf "$work/station" && mkdir -p "$work/station"
  cp "$build/tools/fixcorepower-sim/fixcorepower-sim" "$work/station/"
  for dir in "${scenario_dirs[@]}"; do [[ -e "$dir/$scenario.json" ]] && file=$dir/$scenario.json; done
  FCP_SIM_FACE=linux FCP_SIM_TRACE="$root/$work/station/wire.trace" "$work/station/fixcorepower-sim" "$file" -s >/dev/null 2>&1 || true
  tool_requests < "$work/station/wire.trace" > "$work/$scenario.workstation"
  awk -v f="@@file $scenario.trace" '$0 == f { on = 1; next } $0 == "@@end" { on = 0 } on' "$work/console.log" |
    tool_requests > "$work/$scenario.guest"
  if [[ -s "$work/$scenario.guest" ]] && diff -q "$work/$scenario.workstation" "$work/$scenario.guest" >/dev/null; then
    echo "ok   trace of $scenario: $(wc -l < "$work/$scenario.guest") extension-unit and vendor requests as on the workstation"
  else
    echo "FAIL trace of $scenario: the guest's requests differ from the workstation's"
    diff "$work/$scenario.workstation" "$work/$scenario.guest" | head -20 | sed 's/^/       | /'
    failed=$((failed + 1))
  fi
done

echo "$(( ${#rows[@]} / 4 + host_rows + $(wc -w <<<"$traces") - failed )) passed, $failed failed (console: $work/console.log)"
((failed == 0))
