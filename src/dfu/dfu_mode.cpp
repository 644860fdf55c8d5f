#include "dfu/dfu_mode.h"

namespace fcp::dfu {

bool IsDfuMode(const DfuModeFacts& facts) {
  if (facts.interface_protocol == 2) return true;
  // Devices that announce DFU mode in their own way.
  if (facts.bcdDFUVersion == 0x011A && facts.interface_protocol == 0) return true;
  if (facts.vendor_id == 0x1FC9 && facts.product_id == 0x000C && facts.interface_protocol == 1) return true;
  if (facts.vendor_id == 0x0B0E && facts.interface_protocol == 0 && facts.interface_count == 1) return true;
  return false;
}

}  // namespace fcp::dfu
