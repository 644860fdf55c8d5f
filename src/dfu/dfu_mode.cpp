#include "dfu/dfu_mode.h"

namespace fcp::dfu {

bool IsDfuMode(const DfuModeFacts& facts) {
  if (facts.interfaceProtocol == 2) return true;
  // Devices that announce DFU mode in their own way.
  if (facts.bcdDFUVersion == 0x011A && facts.interfaceProtocol == 0) return true;
  if (facts.vendorId == 0x1FC9 && facts.productId == 0x000C && facts.interfaceProtocol == 1) return true;
  if (facts.vendorId == 0x0B0E && facts.interfaceProtocol == 0 && facts.interfaceCount == 1) return true;
  return false;
}

}  // namespace fcp::dfu
