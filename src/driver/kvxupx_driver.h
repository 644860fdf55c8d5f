// The pass-through driver's portable core: what its dispatch routines do. The WDM layer (wdm/) and
// the simulated kernel's tests call these with a device extension whose kernel port is set.
#pragma once
#include <cstdint>

#include "driver/device_extension.h"
#include "driver/kernel_port.h"
#include "driver/ntstatus.h"

namespace fcp::driver {

// Service key and value that mirror the number of open handles of the driver's device.
inline constexpr char16_t kServiceKey[] = u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\KvxUpx";
inline constexpr char16_t kRefCountValue[] = u"RefCount";

// Bounds of a submission's wait for the device, in milliseconds.
inline constexpr uint32_t kMinSubmitWaitMs = 300;
inline constexpr uint32_t kMaxSubmitWaitMs = 60000;
// Longest transfer a forwarded request may name: a control transfer's wLength is 16 bits.
inline constexpr uint32_t kMaxTransferLength = 0xFFFF;
// Wait for the driver's own descriptor requests.
inline constexpr uint32_t kDescriptorRequestWaitMs = 5000;

// Load: an empty table, no openers, "RefCount" 0.
void LoadDevice(DeviceExtension& ext, KernelPort& kernel);
// Unload: drops every registered device's references.
void UnloadDevice(DeviceExtension& ext);

// Create request of a handle on the driver's device; `file` is the handle's file object.
NtStatus CreateHandle(DeviceExtension& ext, KernelObject file);
// Cleanup and close requests of a handle (both come here; the second finds nothing to do). Releases
// every registration made through the handle.
NtStatus CloseHandle(DeviceExtension& ext, KernelObject file);

// Device-control request through the handle whose file object is `file`. `buffer` is the buffered
// input (and output) of the request; on success *information is the number of bytes returned.
NtStatus DeviceControl(DeviceExtension& ext, KernelObject file, uint32_t code, void* buffer, uint32_t input_length,
                       uint32_t output_length, uint32_t* information);

// The three operations behind the control codes. A driver device handle belongs to the opener whose
// open-device gave it: close-device and submission work only through that opener.
NtStatus OpenDevice(DeviceExtension& ext, KernelObject file, uint64_t interface_handle, uint32_t transport_kind,
                    uint64_t* device_handle);
NtStatus CloseDevice(DeviceExtension& ext, KernelObject file, uint64_t device_handle);
NtStatus SubmitUrb(DeviceExtension& ext, KernelObject file, uint64_t device_handle, uint64_t urb_address,
                   uint32_t timeout_ms);

}  // namespace fcp::driver
