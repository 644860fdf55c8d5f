// The KvxUpx pass-through driver as the rest of the tool uses it: install and open it, release it,
// and its three I/O controls plus the device-descriptor request built on them. Plain functions over
// one process-wide driver state; 1 for success, 0 for failure (the I/O controls leave the system's
// last error). The driver device handle travels as two 32-bit halves, low half first.
#pragma once
#include <cstdint>

// Installs (when needed), starts and opens the driver; 1 when its device is open (or already was).
int KvxUpx_Init();
// Closes the driver's device and removes the driver when nobody else uses it. Always 1.
int KvxUpx_Close();
// Registers the USB device behind an interface handle the caller opened; both halves are set to 0
// first and receive the driver device handle.
int KvxUpx_OpenDevice(uint32_t transport_kind, uintptr_t interface_handle, uint32_t* handle_low,
                      uint32_t* handle_high);
int KvxUpx_CloseDevice(uint32_t handle_low, uint32_t handle_high);
// Hands a USB request block (built for the kernel's word size) to the device; the driver updates it.
int KvxUpx_SubmitUrb(uint32_t handle_low, uint32_t handle_high, void* urb, uint32_t timeout_ms);
// Reads the 18-byte device descriptor into `descriptor`.
int KvxUpx_GetDeviceDescriptor(uint32_t handle_low, uint32_t handle_high, uint8_t* descriptor);
