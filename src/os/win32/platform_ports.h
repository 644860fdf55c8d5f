// The Windows implementations of the ports, installed once by the program's entry.
#pragma once

namespace fcp::os::win32 {

void InstallPlatformPorts();

}  // namespace fcp::os::win32
