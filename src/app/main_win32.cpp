// The Windows tool's wWinMain: the platform's ports, then the framework's entry.
#include <windows.h>

#include "os/device_registry.h"
#include "os/device_setup.h"
#include "os/driver_host.h"
#include "os/port.h"
#include "os/process_environment.h"
#include "os/video_inputs.h"
#include "os/win32/device_registry_win32.h"
#include "os/win32/device_setup_win32.h"
#include "os/win32/driver_host_win32.h"
#include "os/win32/video_inputs_win32.h"
#include "ui/win32/win32_main.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR command_line, int) {
  fcp::os::ScopedPort<fcp::os::ProcessEnvironment> environment(&fcp::os::PlatformProcessEnvironment());
  fcp::os::ScopedPort<fcp::os::VideoInputs> video_inputs(&fcp::os::win32::DirectShowVideoInputs());
  fcp::os::ScopedPort<fcp::os::DeviceRegistry> registry(&fcp::os::win32::Win32DeviceRegistry());
  fcp::os::ScopedPort<fcp::os::DriverHost> driver_host(&fcp::os::win32::Win32DriverHost());
  fcp::os::ScopedPort<fcp::os::DriverDevice> driver_device(&fcp::os::win32::Win32DriverDevice());
  // The pass-through route's camera layer: SetupAPI and the configuration manager, Winsock.
  fcp::os::ScopedPort<fcp::os::DeviceSetup> device_setup(&fcp::os::win32::Win32DeviceSetup());
  fcp::os::ScopedPort<fcp::os::CameraLayerHost> camera_layer(&fcp::os::win32::Win32CameraLayerHost());
  return fcp::ui::Win32Main(instance, command_line);
}
