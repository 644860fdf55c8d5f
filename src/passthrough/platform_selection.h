// Which driver image the running Windows needs, and whether this process runs under WOW64 (a 32-bit
// process on 64-bit Windows, which then talks to a 64-bit kernel).
#pragma once
#include "os/driver_host.h"

namespace fcp::passthrough {

inline constexpr int kPlatformX86 = 0;
inline constexpr int kPlatformX64 = 1;
inline constexpr int kPlatformArm64 = 3;
inline constexpr int kPlatformUnsupported = 4;

struct PlatformSelection {
  bool wow64 = false;
  int index = kPlatformX86;
};

// Asks IsWow64Process2, else GetNativeSystemInfo and IsWow64Process. When neither is there, or
// IsWow64Process2 fails, the index stays `previous_index`.
PlatformSelection SelectPlatform(os::DriverHost& host, int previous_index);

}  // namespace fcp::passthrough
