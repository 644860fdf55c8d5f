// The extension unit's vendor command (VCMD) protocol: controls, command codes, the 8-byte command
// block, the status reply and the vendor signature. The camera layer speaks it and the virtual
// workstation's chip answers it, both from these definitions.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "fcp/maker_ids.h"
#include "text/guid.h"

namespace fcp::uvc {

// Property set of the extension unit: the GUID its descriptor carries.
inline constexpr text::Guid kExtensionUnitGuid = text::GuidOf(fcp::maker::kXuGuid1);

// Writing the command control issues a command; reading it returns the last command's status.
inline constexpr uint32_t kCommandControl = 10;
// Reading the data control returns the next 8 bytes of a command's data.
inline constexpr uint32_t kDataControl = 11;

inline constexpr uint32_t kControlSize = 8;
using VcmdBlock = std::array<uint8_t, kControlSize>;

// Byte 0 of a command block.
inline constexpr uint8_t kCommandMarker = 0x00;
inline constexpr uint8_t kAbortMarker = 0xFF;

inline constexpr uint8_t kCmdQualify = 0xD0;
inline constexpr uint8_t kCmdStatusPiece = 0xCD;
inline constexpr uint8_t kCmdReadMemory = 0xC2;
inline constexpr uint8_t kCmdWriteMemory = 0xC3;  // the chip's own; the tool never sends it

// The device status block, read as kStatusPieces pieces of one control's size.
inline constexpr size_t kStatusPieces = 16;
inline constexpr size_t kStatusBlockSize = kStatusPieces * kControlSize;

// Byte 0 of the status reply (reading the command control): the reply is the status, the code of the
// last command, the data bytes still to read (little-endian), four zero bytes.
enum class VcmdStatus : uint8_t {
  kCmd = 0x00,          // idle: ready for a command (after power-up and after abort)
  kDataIn = 0x01,       // a command's data is waiting to be read from the data control
  kDataOut = 0x02,      // a write command waits for its data on the data control
  kErrDir = 0x03,       // the data control was used against the command's direction
  kNotFinish = 0x04,    // a command was written while the previous one still had data to read
  kErrLen = 0x05,       // wrong length field, wrong transfer length, or a data read with nothing pending
  kUnknownScmd = 0x06,  // byte 0 of the command block was neither the command nor the abort marker
  kErrOutRange = 0x07,  // memory outside the map, or a status piece index above 15
  kUnknownCmd = 0x08,   // command code not known
  kHwErr = 0x09,        // the memory bus failed
  kRetNoErr = 0xFE,     // the last command completed and all its data was read
};

// "VOLKTAR" and a zero byte.
inline constexpr VcmdBlock kVendorSignature = {'V', 'O', 'L', 'K', 'T', 'A', 'R', 0};

// Byte 0 is 0 for a command, byte 1 the code, bytes 2-3 and 6-7 the 32-bit address (low half first),
// bytes 4-5 the 16-bit data length.
constexpr VcmdBlock MakeVcmd(uint8_t command, uint32_t address, uint16_t length) {
  return {kCommandMarker,
          command,
          static_cast<uint8_t>(address),
          static_cast<uint8_t>(address >> 8),
          static_cast<uint8_t>(length),
          static_cast<uint8_t>(length >> 8),
          static_cast<uint8_t>(address >> 16),
          static_cast<uint8_t>(address >> 24)};
}

// The abort command: the marker and seven zero bytes.
inline constexpr VcmdBlock kAbortCommand = {kAbortMarker, 0, 0, 0, 0, 0, 0, 0};

}  // namespace fcp::uvc
