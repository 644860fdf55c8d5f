// The camera layer's start-up facts on the virtual workstation: Vista or later, a named mutex that
// always opens, Winsock 2.2, and a clock that counts the time the layer would sleep without sleeping.
#pragma once
#include <atomic>
#include <cwchar>

#include "os/device_setup.h"

namespace fcp::sim::windows {

class SimCameraLayerHost final : public os::CameraLayerHost {
 public:
  bool vista_or_later = true;
  WORD winsock_version = 0x0202;

  // Before Vista, every version the layer asks about (6.0 and later) is newer than the system.
  BOOL VersionAtLeast(DWORD major, DWORD /*minor*/, WORD /*service_pack_major*/) override {
    return vista_or_later || major < 6;
  }
  uintptr_t CreateNamedMutex(const wchar_t* name) override { return name != nullptr && *name != L'\0' ? 0x3C : 0; }
  int WsaStartup(WORD /*requested*/, WORD* granted) override {
    *granted = winsock_version;
    return 0;
  }
  int WsaCleanup() override { return 0; }
  void SleepMs(DWORD milliseconds) override { slept_ms += milliseconds; }

  std::atomic<uint64_t> slept_ms{0};
};

}  // namespace fcp::sim::windows
