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
  cameraPresent = false;
  nameFails = false;
  locationFails = false;
  holdRepair = false;
  holdSelection = false;
  selectionsAtGate = 0;
  gatePastPatchWrite = false;
  name = L"VID_1D6B&PID_0102&REV_0100";
  location = L"001.003.000.000.000.000";
  verdict = 0;
  error = L"No vaild device.\n";
  openDefaultCalls = 0;
  openByVidPidCalls = 0;
  repairRuns = 0;
  repairsStopped = 0;
  repairsAtGate = 0;
  stopRequestsSeen = 0;
  lastVid = 0;
  lastPid = 0;
  lastRepairLocation.clear();
}

void FakeDeviceOps::OpenGate() {
  std::lock_guard lock(mutex);  // a waiting run sees the change
  holdRepair = false;
  holdSelection = false;
  changed.notify_all();
}

void FakeDeviceOps::OpenSelectionGate() {
  std::lock_guard lock(mutex);
  holdSelection = false;
  changed.notify_all();
}

}  // namespace fcp::test

using fcp::test::FakeDeviceOps;

int UVC_OpenDefault() {
  auto& ops = FakeDeviceOps::Instance();
  std::unique_lock lock(ops.mutex);
  if (ops.holdSelection) {
    ++ops.selectionsAtGate;
    ops.changed.notify_all();
    ops.changed.wait(lock, [&] { return !ops.holdSelection; });
    --ops.selectionsAtGate;
  }
  ++ops.openDefaultCalls;
  return ops.cameraPresent ? 1 : 0;
}

int UVC_OpenByVidPid(uint16_t vid, uint16_t pid) {
  auto& ops = FakeDeviceOps::Instance();
  std::lock_guard lock(ops.mutex);
  ++ops.openByVidPidCalls;
  ops.lastVid = vid;
  ops.lastPid = pid;
  return ops.cameraPresent ? 1 : 0;
}

int UVC_GetDeviceName(std::wstring& name) {
  auto& ops = FakeDeviceOps::Instance();
  std::lock_guard lock(ops.mutex);
  if (!ops.cameraPresent || ops.nameFails) return 0;
  name = ops.name;
  return 1;
}

int UVC_GetLocationInfo(std::wstring& location) {
  auto& ops = FakeDeviceOps::Instance();
  std::lock_guard lock(ops.mutex);
  if (!ops.cameraPresent) return 0;
  if (ops.locationFails) {
    location = L"half-read";  // a failing read may leave anything behind
    return 0;
  }
  location = ops.location;
  return 1;
}

int fcp::repair::FixCorePower(const std::wstring& location, std::wstring& error, std::stop_token stop,
                              bool* stopped) {
  auto& ops = FakeDeviceOps::Instance();
  std::unique_lock lock(ops.mutex);
  if (stopped) *stopped = false;
  ++ops.repairRuns;
  ops.lastRepairLocation = location;
  if (ops.holdRepair) {
    ++ops.repairsAtGate;
    ops.changed.notify_all();
    if (ops.gatePastPatchWrite) {
      // No safe point here: only the gate ends the wait. A stop request is counted as it comes.
      std::stop_callback counted(stop, [&] {
        ++ops.stopRequestsSeen;
        ops.changed.notify_all();
      });
      ops.changed.wait(lock, [&] { return !ops.holdRepair; });
      --ops.repairsAtGate;
    } else {
      // A safe point: the run waits here until the gate opens or it is asked to stop.
      ops.changed.wait(lock, stop, [&] { return !ops.holdRepair; });
      --ops.repairsAtGate;
      if (stop.stop_requested()) {
        ++ops.repairsStopped;
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
