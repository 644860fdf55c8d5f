// The extension unit's vendor command (VCMD) protocol: controls, command codes, the 8-byte command
// block and the vendor signature.
#pragma once
#include <array>
#include <cstdint>

#include "fcp/maker_ids.h"
#include "os/guid.h"

namespace fcp::uvc {

// Property set of the extension unit: the GUID its descriptor carries.
inline constexpr os::Guid kExtensionUnitGuid = os::GuidOf(fcp::maker::kXuGuid1);

// Writing the command control issues a command; reading it returns the last command's status.
inline constexpr uint32_t kCommandControl = 10;
// Reading the data control returns the next 8 bytes of a command's data.
inline constexpr uint32_t kDataControl = 11;

inline constexpr uint32_t kControlSize = 8;
using VcmdBlock = std::array<uint8_t, kControlSize>;

inline constexpr uint8_t kCmdQualify = 0xD0;
inline constexpr uint8_t kCmdStatusPiece = 0xCD;
inline constexpr uint8_t kCmdReadMemory = 0xC2;

inline constexpr size_t kStatusPieces = 16;

// "VOLKTAR" and a zero byte.
inline constexpr VcmdBlock kVendorSignature = {'V', 'O', 'L', 'K', 'T', 'A', 'R', 0};

// Byte 0 is 0 for a command, byte 1 the code, bytes 2-3 and 6-7 the 32-bit address (low half first),
// bytes 4-5 the 16-bit data length.
constexpr VcmdBlock MakeVcmd(uint8_t command, uint32_t address, uint16_t length) {
  return {0x00,
          command,
          static_cast<uint8_t>(address),
          static_cast<uint8_t>(address >> 8),
          static_cast<uint8_t>(length),
          static_cast<uint8_t>(length >> 8),
          static_cast<uint8_t>(address >> 16),
          static_cast<uint8_t>(address >> 24)};
}

// The abort command: FF and seven zero bytes.
inline constexpr VcmdBlock kAbortCommand = {0xFF, 0, 0, 0, 0, 0, 0, 0};

}  // namespace fcp::uvc
