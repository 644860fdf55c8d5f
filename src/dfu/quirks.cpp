#include "dfu/quirks.h"

uint16_t DFU_GetQuirks(uint16_t vendor_id, uint16_t product_id, uint16_t bcdDevice) {
  uint16_t quirks = 0;
  if (vendor_id == 0x1EAF && product_id == 0x0003 && bcdDevice == 0x0200) quirks |= fcp::dfu::kQuirkForceDfu11;
  return quirks;
}
