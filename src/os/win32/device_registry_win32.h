// The registry port over the Win32 registry functions.
#pragma once
#include "os/device_registry.h"

namespace fcp::os::win32 {

// The process's one instance, to be installed with InstallPort<DeviceRegistry>.
DeviceRegistry& Win32DeviceRegistry();

}  // namespace fcp::os::win32
