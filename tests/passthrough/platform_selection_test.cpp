// Which image and which kernel layout, for each Windows: by its processor and by the queries it has.
#include <gtest/gtest.h>

#include "passthrough/platform_selection.h"
#include "sim/windows/sim_windows.h"

namespace fcp::passthrough {
namespace {

using sim::windows::SimWindows;

TEST(PlatformSelection, ByMachineAndAvailableQueries) {
  enum Queries { kWow64Process2, kWow64ProcessOnly, kWow64Process2Fails, kNone };
  struct Case {
    const char* what;
    uint16_t machine;
    bool process_64bit;
    Queries queries;
    bool wow64;
    int index;  // with 3 as the index before the selection
  };
  const Case cases[] = {
      {"x64, 64-bit process", os::kMachineAmd64, true, kWow64Process2, false, kPlatformX64},
      {"x64, 32-bit process", os::kMachineAmd64, false, kWow64Process2, true, kPlatformX64},
      {"ARM64, 32-bit process", os::kMachineArm64, false, kWow64Process2, true, kPlatformArm64},
      {"ARM64, 64-bit process", os::kMachineArm64, true, kWow64Process2, false, kPlatformArm64},
      {"x86", os::kMachineI386, false, kWow64Process2, false, kPlatformX86},
      {"32-bit ARM", 0x01C4, false, kWow64Process2, false, kPlatformUnsupported},
      {"older x64, 32-bit process", os::kMachineAmd64, false, kWow64ProcessOnly, true, kPlatformX64},
      {"older ARM64", os::kMachineArm64, true, kWow64ProcessOnly, false, kPlatformArm64},
      {"older x86", os::kMachineI386, false, kWow64ProcessOnly, false, kPlatformX86},
      {"older, unknown processor", 0x01C4, false, kWow64ProcessOnly, false, kPlatformUnsupported},
      {"IsWow64Process2 fails", os::kMachineAmd64, false, kWow64Process2Fails, false, 3},
      {"neither query", os::kMachineAmd64, false, kNone, false, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimWindows windows(c.machine);
    windows.Queries().is_wow64_process2 = c.queries == kWow64Process2 || c.queries == kWow64Process2Fails;
    windows.Queries().is_wow64_process2_fails = c.queries == kWow64Process2Fails;
    windows.Queries().is_wow64_process = c.queries != kNone;
    auto process = windows.StartProcess(c.process_64bit);
    const PlatformSelection selection = SelectPlatform(*process, 3);
    EXPECT_EQ(selection.wow64, c.wow64);
    EXPECT_EQ(selection.index, c.index);
  }
}

}  // namespace
}  // namespace fcp::passthrough
