// Per-device deviations from the DFU standard.
#pragma once
#include <cstdint>

namespace fcp::dfu {
inline constexpr uint16_t kQuirkForceDfu11 = 0x0002;  // report DFU version 1.1 whatever the descriptor says
}

uint16_t DFU_GetQuirks(uint16_t vendor_id, uint16_t product_id, uint16_t bcdDevice);
