// The texts that name a USB device on the DFU side: its name and its location (hub port path).
#pragma once
#include <cstddef>
#include <cstdint>

namespace fcp::dfu {

inline constexpr int kLocationLevels = 6;
inline constexpr int kPortPathCapacity = 12;           // what libusb_get_port_numbers may fill
inline constexpr std::size_t kDeviceNameSize = 27;     // 26 characters and the terminator
inline constexpr std::size_t kLocationSize = 24;       // 23 characters and the terminator

// "VID_%04X&PID_%04X&REV_%04X".
void FormatDeviceName(uint16_t vendorId, uint16_t productId, uint16_t bcdDevice, char (&text)[kDeviceNameSize]);

// "%03d.%03d.%03d.%03d.%03d.%03d" of the first six ports of the path, from the root hub down; missing
// levels read 000, deeper levels are left out.
void FormatLocation(const uint8_t (&ports)[kPortPathCapacity], char (&text)[kLocationSize]);

}  // namespace fcp::dfu
