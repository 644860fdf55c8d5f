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
  std::atomic<bool> cameraPresent{false};
  std::atomic<bool> nameFails{false};
  std::atomic<bool> locationFails{false};
  std::wstring name = L"VID_1D6B&PID_0102&REV_0100";
  std::wstring location = L"001.003.000.000.000.000";
  // Repair.
  std::atomic<int> verdict{0};
  std::wstring error = L"No vaild device.\n";
  std::atomic<bool> holdRepair{false};  // runs wait at the gate

  // What happened. Strings are set before the dialog opens and read after it is gone.
  std::atomic<int> openDefaultCalls{0};
  std::atomic<int> openByVidPidCalls{0};
  std::atomic<uint16_t> lastVid{0}, lastPid{0};
  std::atomic<int> repairRuns{0};
  std::atomic<int> repairsStopped{0};
  std::atomic<int> repairsAtGate{0};
  std::wstring lastRepairLocation;

  std::mutex mutex;
  std::condition_variable_any changed;

  void Reset();
  void OpenGate();
  // The process-wide instance the fake operations use.
  static FakeDeviceOps& Instance();
};

}  // namespace fcp::test
