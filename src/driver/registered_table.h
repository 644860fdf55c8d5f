// The registered-device table of the device extension. Every function takes the table lock itself.
// Every registration belongs to the opener (file object) that made it: its handle works only through
// that opener, and the opener's cleanup releases it.
#pragma once
#include <cstdint>

#include "driver/device_extension.h"

namespace fcp::driver {

// Registers `device` (whose reference the caller hands over) for the opener `file` and gives its
// handle value. A device already registered gets one more use and keeps its handle; then
// *watch_taken stays false and the caller ends `watch`. Otherwise the new slot keeps `watch`
// (with `watch_id`). Fails, keeping the reference and the watch with the caller, with
// kStatusInsufficientResources when every slot holds another device, and with
// kStatusInvalidParameter when `file` holds no opener slot.
NtStatus RegisterDevice(DeviceExtension& ext, KernelObject file, KernelObject device, RemovalWatch* watch,
                        uint32_t watch_id, uint64_t* handle, bool* watch_taken);

// Drops one of the opener's uses of the device named by `handle`; the last use empties its slot.
NtStatus UnregisterDevice(DeviceExtension& ext, KernelObject file, uint64_t handle);

// The device named by `handle`, with a reference of the caller's own, when the opener holds a use of
// it; else null. *removed tells whether the device has gone away since.
KernelObject ReferenceRegisteredDevice(DeviceExtension& ext, KernelObject file, uint64_t handle, bool* removed);

// Empties the opener slot of `file`, dropping every use the opener held. Nothing when it holds none.
// Returns whether it held one.
bool ReleaseOpener(DeviceExtension& ext, KernelObject file);

// Drops every use of every slot (unload).
void ReleaseAllRegistrations(DeviceExtension& ext);

}  // namespace fcp::driver
