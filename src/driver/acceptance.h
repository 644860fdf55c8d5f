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

// Whether the device's configuration descriptor, read from it now, lists the interface.
bool DeviceHasInterface(KernelPort& kernel, KernelObject device, uint8_t interface_number);

}  // namespace fcp::driver
