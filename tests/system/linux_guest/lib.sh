# Steps the rows of the guest stage are made of (sourced by init; every step runs in init's shell).

# row <name> <command>: runs the command, framed for the stage to find: "@@row <name> begin <uptime>", its
# output, "@@row <name> rc=<exit code>".
row() {
  echo "@@row $1 begin $(cut -d' ' -f1 /proc/uptime) s"
  eval "$2"
  echo "@@row $1 rc=$?"
}

# serve <scenario> [server options]: the scenario's devices attached over USB/IP, the wire trace in
# /tmp/wire.trace; waits until the camera's video node is there (not with --attach-after-ms).
serve() {
  scenario=$1; shift
  FCP_SIM_TRACE=/tmp/wire.trace /opt/guest/bin/usbip-workstation "/opt/guest/scenarios/$scenario" "$@" >/tmp/serve.log 2>&1 &
  serve_pid=$!
  case " $* " in *" --attach-after-ms "*) return 0 ;; esac
  wait_for_camera
}
wait_for_camera() {
  for _ in $(seq 300); do
    if [ -e /sys/class/video4linux/video0 ]; then
      udevadm settle
      [ -e /dev/video0 ] && return 0
    fi
    sleep 0.1
  done
  echo "no camera appeared"; cat /tmp/serve.log
  return 1
}
# The served devices unplugged (the server's connections close) and gone from the system.
unserve() {
  [ -n "${serve_pid:-}" ] || return 0
  kill "$serve_pid"
  wait "$serve_pid"
  serve_pid=
  for _ in $(seq 100); do
    [ -e /sys/class/video4linux/video0 ] || break
    sleep 0.1
  done
  udevadm settle
}

# What the kernel made of the camera: the driver of each interface, the usbfs and video nodes.
bindings() {
  for dev in /sys/bus/usb/devices/*; do
    [ "$(cat "$dev/idVendor" 2>/dev/null)" = fc01 ] || continue
    echo "device $(basename "$dev") driver $(basename "$(readlink "$dev/driver")") at port $(cat "$dev/devpath")"
    for intf in "$dev"/*:*; do
      driver=$(readlink "$intf/driver")
      echo "interface $(basename "$intf") class $(cat "$intf/bInterfaceClass") driver $(basename "${driver:-none}")"
    done
    ls -ln "/dev/bus/usb/$(printf %03d "$(cat "$dev/busnum")")/$(printf %03d "$(cat "$dev/devnum")")"
  done
  for node in /sys/class/video4linux/*; do
    echo "$(basename "$node"): $(cat "$node/name") index $(cat "$node/index")"
  done
  ls -ln /dev/video*
}

# The tool's result files in a directory, shown and removed.
results() {
  for f in "$1"/result.txt "$1"/FailedLog_*.txt; do
    [ -e "$f" ] || continue
    echo "$(basename "$f" | sed 's/_[0-9_]*\.txt$//'): $(tr -d '\r' < "$f" | tr '\n' '|')"
    rm -f "$f"
  done
}

# tool <dir> [options]: runs <dir>/fixcorepower as root with a time limit, then shows its files.
tool() {
  dir=$1; shift
  timeout 120 "$dir/fixcorepower" "$@"
  rc=$?
  results "$dir"
  return $rc
}

# as_station <dir> [options]: the same as the station operator (uid 1000, group plugdev).
as_station() {
  dir=$1; shift
  su -s /bin/sh station -c "id; timeout 120 $dir/fixcorepower $*"
  rc=$?
  results "$dir"
  return $rc
}

# A file shown whole, framed: "@@file <name>", its lines, "@@end".
show_file() {
  echo "@@file $1"
  cat "$2"
  echo "@@end"
}

# Vendor requests (request type 40) that went out in the wire trace.
vendor_writes() { echo "vendor writes: $(grep -c '^[^ ]* 40' /tmp/wire.trace)"; }

# hotplug: the hot-plug probe as the station operator; the camera is attached once its dialog runs.
hotplug() {
  rm -f /tmp/ready
  su -s /bin/sh station -c "timeout 150 /opt/guest/bin/linux_guest_hotplug_probe /tmp/ready 90" &
  probe=$!
  for _ in $(seq 600); do
    [ -e /tmp/ready ] && break
    sleep 0.1
  done
  serve blank_chip.json
  wait $probe
}

# guide_install <steps>: the operator's guide's install steps, as root, in a shell of their own that
# stops at the first failing step. The guest has neither apt nor adduser: two stand-ins take their
# command lines as the guide writes them, `apt install <package>...` (each package installed as
# install_package does) and `adduser <user> <group>` (the user added to the group in /etc/group).
guide_install() {
  (
    set -e
    apt() {
      [ "$1" = install ] || { echo "apt stand-in: only 'apt install <package>...'"; return 1; }
      shift
      for deb in "$@"; do
        [ -f "$deb" ] || { echo "apt: no package $deb"; return 1; }
        install_package "$deb" || return 1
      done
    }
    adduser() {
      [ $# = 2 ] || { echo "adduser stand-in: only 'adduser <user> <group>'"; return 1; }
      grep -q "^$1:" /etc/passwd || { echo "adduser: no user $1"; return 1; }
      grep -q "^$2:" /etc/group || { echo "adduser: no group $2"; return 1; }
      sed -i -E "s/^($2:[^:]*:[0-9]+:)(.+)\$/\1\2,$1/; s/^($2:[^:]*:[0-9]+:)\$/\1$1/" /etc/group
    }
    . "$1"
  )
}

# install_package <deb>: dpkg -i into the guest's empty database (the stage has checked the
# dependencies against the machine the image was made of), without dpkg's complaints about them.
# (By its full path: busybox's shell runs its own applet of a name before looking at the path.)
install_package() {
  /usr/bin/dpkg --force-depends -i "$1" >/tmp/dpkg.log 2>&1
  rc=$?
  grep -v 'dependency problems\|depends on\|not installed\|^ *$' /tmp/dpkg.log
  [ $rc = 0 ] && udevadm settle
}
