// The device-setup and camera-layer ports over SetupAPI, the configuration manager, CreateFileW,
// VerifyVersionInfoW, CreateMutexW, Winsock and Sleep.
#pragma once
#include "os/device_setup.h"

namespace fcp::os::win32 {

// The process's instances, to be installed with InstallPort.
DeviceSetup& Win32DeviceSetup();
CameraLayerHost& Win32CameraLayerHost();

}  // namespace fcp::os::win32
