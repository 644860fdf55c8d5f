#include "fake_device_ops.h"

#include "repair/fix_core_power.h"
#include "uvc/uvc.h"

namespace fcp::test {

FakeDeviceOps& FakeDeviceOps::Instance() {
  static FakeDeviceOps ops;
  return ops;
}

void FakeDeviceOps::Reset() {
  std::lock_guard lock(mutex);
  camera_present = false;
  name_fails = false;
  location_fails = false;
  hold_repair = false;
  hold_selection = false;
  selections_at_gate = 0;
  gate_past_patch_write = false;
  name = L"VID_1D6B&PID_0102&REV_0100";
  location = L"001.003.000.000.000.000";
  camera_vid = 0x1D6B;
  camera_pid = 0x0102;
  verdict = 0;
  error = L"No vaild device.\n";
  open_default_calls = 0;
  open_by_vid_pid_calls = 0;
  repair_runs = 0;
  repairs_stopped = 0;
  repairs_at_gate = 0;
  stop_requests_seen = 0;
  last_vid = 0;
  last_pid = 0;
  last_repair_location.clear();
}

void FakeDeviceOps::OpenGate() {
  std::lock_guard lock(mutex);  // a waiting run sees the change
  hold_repair = false;
  hold_selection = false;
  changed.notify_all();
}

void FakeDeviceOps::OpenSelectionGate() {
  std::lock_guard lock(mutex);
  hold_selection = false;
  changed.notify_all();
}

}  // namespace fcp::test

using fcp::test::FakeDeviceOps;

int UVC_OpenDefault() {
  auto& ops = FakeDeviceOps::Instance();
  std::unique_lock lock(ops.mutex);
  if (ops.hold_selection) {
    ++ops.selections_at_gate;
    ops.changed.notify_all();
    ops.changed.wait(lock, [&] { return !ops.hold_selection; });
    --ops.selections_at_gate;
  }
  ++ops.open_default_calls;
  return ops.camera_present ? 1 : 0;
}

int UVC_OpenByVidPid(uint16_t vid, uint16_t pid) {
  auto& ops = FakeDeviceOps::Instance();
  std::lock_guard lock(ops.mutex);
  ++ops.open_by_vid_pid_calls;
  ops.last_vid = vid;
  ops.last_pid = pid;
  return ops.camera_present ? 1 : 0;
}

int UVC_GetDeviceName(std::wstring& name) {
  auto& ops = FakeDeviceOps::Instance();
  std::lock_guard lock(ops.mutex);
  if (!ops.camera_present || ops.name_fails) return 0;
  name = ops.name;
  return 1;
}

int UVC_GetLocationInfo(std::wstring& location) {
  auto& ops = FakeDeviceOps::Instance();
  std::lock_guard lock(ops.mutex);
  if (!ops.camera_present) return 0;
  if (ops.location_fails) {
    location = L"half-read";  // a failing read may leave anything behind
    return 0;
  }
  location = ops.location;
  return 1;
}

int UVC_GetVidPidRev(uint16_t& vid, uint16_t& pid, uint16_t& rev) {
  auto& ops = FakeDeviceOps::Instance();
  std::lock_guard lock(ops.mutex);
  if (!ops.camera_present) return 0;
  vid = ops.camera_vid;
  pid = ops.camera_pid;
  rev = 0x0100;
  return 1;
}

int fcp::repair::FixCorePower(const std::wstring& location, std::wstring& error, std::stop_token stop,
                              bool* stopped) {
  auto& ops = FakeDeviceOps::Instance();
  std::unique_lock lock(ops.mutex);
  if (stopped) *stopped = false;
  ++ops.repair_runs;
  ops.last_repair_location = location;
  if (ops.hold_repair) {
    ++ops.repairs_at_gate;
    ops.changed.notify_all();
    if (ops.gate_past_patch_write) {
      // No safe point here: only the gate ends the wait. A stop request is counted as it comes.
      std::stop_callback counted(stop, [&] {
        ++ops.stop_requests_seen;
        ops.changed.notify_all();
      });
      ops.changed.wait(lock, [&] { return !ops.hold_repair; });
      --ops.repairs_at_gate;
    } else {
      // A safe point: the run waits here until the gate opens or it is asked to stop.
      ops.changed.wait(lock, stop, [&] { return !ops.hold_repair; });
      --ops.repairs_at_gate;
      if (stop.stop_requested()) {
        ++ops.repairs_stopped;
        error.clear();
        if (stopped) *stopped = true;
        return 0;
      }
    }
  }
  if (location.empty()) {
    error = L"No vaild device.\n";
    return 0;
  }
  error = ops.error;
  return ops.verdict.load();
}
