// The Windows implementation of the pass-through driver's installer ports.
#pragma once
#include "os/driver_host.h"

namespace fcp::os::win32 {

DriverHost& Win32DriverHost();
DriverDevice& Win32DriverDevice();

}  // namespace fcp::os::win32
