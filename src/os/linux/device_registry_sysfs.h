// The registry port on Linux: the device keys the camera side reads below
// SYSTEM\ControlSet001\Enum, presented from sysfs facts of the same USB interfaces the video-input
// adapter lists ("LocationInformation" ending in the hub-port location, "HardwareID"; an empty
// "Device Parameters" key, since no camera here is a sensor camera). Every other key is absent.
#pragma once
#include <memory>
#include <string>

#include "os/device_registry.h"

namespace fcp::os {

// The process's instance over the machine's /sys, to be installed with InstallPort<DeviceRegistry>.
DeviceRegistry& SysfsDeviceRegistry();
// The same over another root.
std::unique_ptr<DeviceRegistry> MakeSysfsDeviceRegistry(const std::string& sys_root);

}  // namespace fcp::os
