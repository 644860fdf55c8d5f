// The registered-device table of the device extension. Every function takes the table lock itself.
#pragma once
#include <cstdint>

#include "driver/device_extension.h"

namespace fcp::driver {

// Registers `device` (whose reference the caller hands over) and gives its handle value. A device
// already registered gets one more use and keeps its handle. Fails with
// kStatusInsufficientResources, keeping the reference with the caller, when every slot holds
// another device.
NtStatus RegisterDevice(DeviceExtension& ext, KernelObject device, uint64_t* handle);

// Drops one use of the device named by `handle`; the last use empties its slot.
NtStatus UnregisterDevice(DeviceExtension& ext, uint64_t handle);

// The device named by `handle`, with a reference of the caller's own, or null.
KernelObject ReferenceRegisteredDevice(DeviceExtension& ext, uint64_t handle);

}  // namespace fcp::driver
