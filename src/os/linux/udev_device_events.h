// The device-event port on Linux: USB devices added and removed, from libudev's monitor.
#pragma once
#include <memory>

#include "os/device_events.h"

namespace fcp::os {

// The port's Linux implementation (one per process).
DeviceEvents& UdevDeviceEvents();

}  // namespace fcp::os
