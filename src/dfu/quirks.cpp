#include "dfu/quirks.h"

uint16_t DFU_GetQuirks(uint16_t vendorId, uint16_t productId, uint16_t bcdDevice) {
  uint16_t quirks = 0;
  if (vendorId == 0x1EAF && productId == 0x0003 && bcdDevice == 0x0200) quirks |= fcp::dfu::kQuirkForceDfu11;
  return quirks;
}
