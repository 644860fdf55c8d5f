// The fixed data of the core-power check: the reference block, the patch and the commit value. The
// chip addresses it reads and writes (the selector, the commit register) are in uvc/chip_memory_map.h.
#pragma once
#include <array>
#include <cstdint>

namespace fcp::repair {

// The selector's value that sends the check on to the configuration; any other passes at once.
inline constexpr uint8_t kSelectorCheckConfiguration = 1;

// Configuration bytes 0 to 39 of a chip whose core power needs no patch.
inline constexpr std::array<uint8_t, 40> kReferenceBlock = {
    0x58, 0xB5, 0xBE, 0x73, 0x84, 0x14, 0x73, 0x90, 0x20, 0x88, 0x91, 0xD4, 0x72, 0x2F,
    0x82, 0x20, 0x46, 0x52, 0xCB, 0xBD, 0xA8, 0x94, 0xD9, 0xBB, 0x53, 0x1E, 0xC0, 0xBF,
    0x00, 0xAA, 0x0D, 0x00, 0x00, 0x00, 0xEE, 0xEA, 0x03, 0xBE, 0x5B, 0x5A};

// What the patch area (configuration bytes 40 to 58) must hold.
inline constexpr std::array<uint8_t, 19> kPatch = {0x04, 0x02, 0x1E, 0x40, 0x84, 0x14, 0x73,
                                                   0x90, 0x04, 0x02, 0x1E, 0x40, 0x84, 0x14,
                                                   0x73, 0x90, 0xE1, 0x95, 0x5A};

inline constexpr uint16_t kConfigurationLength = 59;
inline constexpr uint16_t kPatchOffset = 40;

// The commit: the value 0x90731484, little-endian, written to the chip's commit register.
inline constexpr std::array<uint8_t, 4> kCommitValue = {0x84, 0x14, 0x73, 0x90};

}  // namespace fcp::repair
