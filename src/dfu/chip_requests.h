// The vendor requests of the camera controller chip's DFU function: the repair sends them, the virtual
// workstation's chip answers them.
#pragma once
#include <cstdint>

namespace fcp::dfu {

// Configuration bytes: read (device-to-host) or written (host-to-device) at offset wIndex.
inline constexpr uint8_t kRequestReadConfig = 0x52;
inline constexpr uint8_t kRequestWriteConfig = 0x51;
// One 32-bit word to chip address wValue << 16 | wIndex.
inline constexpr uint8_t kRequestWriteWord = 0x24;

}  // namespace fcp::dfu
