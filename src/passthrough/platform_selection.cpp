#include "passthrough/platform_selection.h"

namespace fcp::passthrough {
namespace {

int IndexOfMachine(uint16_t machine) {
  switch (machine) {
    case os::kMachineI386: return kPlatformX86;
    case os::kMachineAmd64: return kPlatformX64;
    case os::kMachineArm64: return kPlatformArm64;
    default: return kPlatformUnsupported;
  }
}

int IndexOfArchitecture(uint16_t architecture) {
  switch (architecture) {
    case os::kProcessorArchitectureIntel: return kPlatformX86;
    case os::kProcessorArchitectureAmd64: return kPlatformX64;
    case os::kProcessorArchitectureArm64: return kPlatformArm64;
    default: return kPlatformUnsupported;
  }
}

}  // namespace

PlatformSelection SelectPlatform(os::DriverHost& host, int previous_index) {
  PlatformSelection selection{false, previous_index};
  uint16_t process_machine = 0, native_machine = 0;
  switch (host.IsWow64Process2(&process_machine, &native_machine)) {
    case os::LookedUp::kOk:
      selection.wow64 = process_machine != os::kMachineUnknown;
      selection.index = IndexOfMachine(native_machine);
      return selection;
    case os::LookedUp::kFailed:
      return selection;
    case os::LookedUp::kMissing:
      break;
  }
  BOOL wow64 = 0;
  // Only a Windows that has IsWow64Process is asked for its processor.
  const uint16_t architecture = host.NativeProcessorArchitecture();
  const os::LookedUp asked = host.IsWow64Process(&wow64);
  if (asked == os::LookedUp::kMissing) return selection;
  selection.index = IndexOfArchitecture(architecture);
  selection.wow64 = asked == os::LookedUp::kOk && wow64 != 0;
  return selection;
}

}  // namespace fcp::passthrough
