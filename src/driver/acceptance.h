// Which USB devices the driver serves: the chip maker's devices of the setup classes that go with
// the caller's transport kind.
#pragma once
#include <cstdint>

#include "driver/kernel_port.h"

namespace fcp::driver {

// `device` is the USB device to register, `function` the physical device object of the interface
// the caller opened (the same object for a device that is not composite).
bool AcceptDevice(KernelPort& kernel, KernelObject device, KernelObject function, uint32_t transport_kind);

// Descriptor tests, on the bytes of a configuration descriptor or a string descriptor.
bool HoldsMakerExtensionUnit(const uint8_t* configuration, uint32_t length);
bool HoldsMakerVendorId(const uint8_t* configuration, uint32_t length);
bool NamesMakerHub(const uint8_t* string_descriptor, uint32_t length);
bool HoldsInterface(const uint8_t* configuration, uint32_t length, uint8_t interface_number);

// No deadline of the caller's: each descriptor read waits its own kDescriptorRequestWaitMs.
inline constexpr uint64_t kNoDeadline = ~uint64_t{0};

// Whether the device's configuration descriptor, read from it now, lists the interface. Its reads
// end by `deadline` (a time of the port's clock).
bool DeviceHasInterface(KernelPort& kernel, KernelObject device, uint8_t interface_number, uint64_t deadline);

}  // namespace fcp::driver
