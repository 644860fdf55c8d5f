// The DFU connection's route through the pass-through driver: cameras that libusb does not list join
// the device table, open through the driver, carry the vendor requests as request blocks, and close
// the driver again. Taken only where the platform has the device-setup ports (Windows): on Linux
// every USB device is reachable through usbfs, so libusb lists every camera and the table gets no
// entries of this route.
#pragma once
#include <cstdint>
#include <string>

#include "dfu/device_table.h"

namespace fcp::dfu {

// Appends the cameras the camera side sees, qualifies and does not find in the table yet.
void AddPassThroughEntries(DeviceTable& table);
// Opens the camera of a pass-through entry through the driver; 1 when open.
int OpenPassThroughEntry(const DeviceTableEntry& entry);
// Releases the camera connection and the driver (when open).
void ClosePassThrough();
// A vendor request on the open pass-through connection: the bytes it moved, or a negative result.
int PassThroughVendorRequest(bool device_to_host, uint8_t bRequest, uint16_t wValue, uint16_t wIndex, uint8_t* buffer,
                             uint16_t length, uint32_t timeout_ms);

// The last failure of this route ("" when none since the process started). Nothing reads it for a verdict.
const wchar_t* PassThroughErrorText();

}  // namespace fcp::dfu
