// A stand-in for the camera selection and repair operations the dialog calls, with the facts a test
// sets: whether a camera is there, its name and location, the repair's verdict and text, and a gate
// that holds a repair run until the test opens it (or the run is asked to stop).
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace fcp::test {

struct FakeDeviceOps {
  // Camera.
  std::atomic<bool> camera_present{false};
  std::atomic<bool> name_fails{false};
  std::atomic<bool> location_fails{false};
  std::wstring name = L"VID_1D6B&PID_0102&REV_0100";
  std::wstring location = L"001.003.000.000.000.000";
  std::atomic<uint16_t> camera_vid{0x1D6B}, camera_pid{0x0102};
  std::atomic<bool> hold_selection{false};  // camera selections wait at their own gate
  std::atomic<int> selections_at_gate{0};
  // Repair.
  std::atomic<int> verdict{0};
  std::wstring error = L"No vaild device.\n";
  std::atomic<bool> hold_repair{false};  // runs wait at the gate
  // The gate lies past the last safe point (the patch write has started): a stop request does not
  // end the wait there, and the run ends with its verdict.
  std::atomic<bool> gate_past_patch_write{false};

  // What happened. Strings are set before the dialog opens and read after it is gone.
  std::atomic<int> open_default_calls{0};
  std::atomic<int> open_by_vid_pid_calls{0};
  std::atomic<uint16_t> last_vid{0}, last_pid{0};
  std::atomic<int> repair_runs{0};
  std::atomic<int> repairs_stopped{0};
  std::atomic<int> repairs_at_gate{0};
  std::atomic<int> stop_requests_seen{0};  // runs past the patch write that got a stop request
  std::wstring last_repair_location;

  std::mutex mutex;
  std::condition_variable_any changed;

  void Reset();
  void OpenGate();  // both gates
  void OpenSelectionGate();
  // The process-wide instance the fake operations use.
  static FakeDeviceOps& Instance();
};

}  // namespace fcp::test
