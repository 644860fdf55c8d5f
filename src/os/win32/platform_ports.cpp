#include "os/win32/platform_ports.h"

#include "os/device_registry.h"
#include "os/port.h"
#include "os/process_environment.h"
#include "os/video_inputs.h"
#include "os/win32/device_registry_win32.h"
#include "os/win32/video_inputs_win32.h"

namespace fcp::os::win32 {

// One line per port; a subsystem that brings a Windows adapter adds its own.
void InstallPlatformPorts() {
  InstallPort<ProcessEnvironment>(&PlatformProcessEnvironment());
  InstallPort<VideoInputs>(&DirectShowVideoInputs());
  InstallPort<DeviceRegistry>(&Win32DeviceRegistry());
}

}  // namespace fcp::os::win32
