// Whether a DFU interface is in DFU mode (ready to take firmware) rather than run-time mode.
#pragma once
#include <cstdint>

namespace fcp::dfu {

struct DfuModeFacts {
  uint16_t vendor_id;
  uint16_t product_id;
  uint16_t bcdDFUVersion;      // of the functional descriptor as read
  uint8_t interface_protocol;   // bInterfaceProtocol of the alternate setting
  uint8_t interface_count;      // bNumInterfaces of the configuration
};

bool IsDfuMode(const DfuModeFacts& facts);

}  // namespace fcp::dfu
