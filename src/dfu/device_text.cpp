#include "dfu/device_text.h"

#include <cstdio>

namespace fcp::dfu {

void FormatDeviceName(uint16_t vendorId, uint16_t productId, uint16_t bcdDevice, char (&text)[kDeviceNameSize]) {
  std::snprintf(text, sizeof text, "VID_%04X&PID_%04X&REV_%04X", static_cast<unsigned>(vendorId),
                static_cast<unsigned>(productId), static_cast<unsigned>(bcdDevice));
}

void FormatLocation(const uint8_t (&ports)[kPortPathCapacity], char (&text)[kLocationSize]) {
  std::snprintf(text, sizeof text, "%03d.%03d.%03d.%03d.%03d.%03d", ports[0], ports[1], ports[2], ports[3],
                ports[4], ports[5]);
}

}  // namespace fcp::dfu
