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
// `hub`: registered as a hub; the mark stays with the slot until it empties.
NtStatus RegisterDevice(DeviceExtension& ext, KernelObject file, KernelObject device, bool hub, RemovalWatch* watch,
                        uint32_t watch_id, uint64_t* handle, bool* watch_taken);

// Drops one of the opener's uses of the device named by `handle`; the last use empties its slot.
NtStatus UnregisterDevice(DeviceExtension& ext, KernelObject file, uint64_t handle);

// A submission's hold on a registration: a use of its slot of the submission's own, with the device
// reference and the removal watch (and through it the interface's file object, which keeps the device
// stack from being torn down) that go with it. A close-device or cleanup meanwhile cannot empty the
// slot; the hold ends only with ReleaseSubmission, after the request has ended.
struct SubmissionHold {
  int slot = -1;
  KernelObject device = nullptr;
  bool hub = false;
};
// Takes a hold on the registration named by `handle` when the opener holds a use of it:
// kStatusInvalidParameter when it does not, kStatusDeviceRemoved (and no hold) when the device has
// gone away.
NtStatus HoldForSubmission(DeviceExtension& ext, KernelObject file, uint64_t handle, SubmissionHold* hold);
// Whether the held registration's device has gone away since (checked again just before sending).
bool HeldDeviceRemoved(DeviceExtension& ext, const SubmissionHold& hold);
void ReleaseSubmission(DeviceExtension& ext, SubmissionHold& hold);

// Empties the opener slot of `file`, dropping every use the opener held. Nothing when it holds none.
// Returns whether it held one.
bool ReleaseOpener(DeviceExtension& ext, KernelObject file);

// Drops every use of every slot (unload).
void ReleaseAllRegistrations(DeviceExtension& ext);

}  // namespace fcp::driver
