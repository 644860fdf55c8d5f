// The camera controller chip's memory as the host addresses it: the regions the chip answers for and
// the registers the tool reads and writes. The camera side reads memory with the extension unit's
// read command (uvc/vcmd.h), the repair writes the commit register with the DFU function's word
// request (dfu/chip_requests.h), and the virtual workstation's chip answers both from this map.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace fcp::uvc {

struct ChipMemoryRegion {
  uint32_t base;
  uint32_t size;
  // A register page: the DFU function's word request writes here, and nowhere else.
  bool registers;

  // Whether `length` bytes from `address` lie inside the region.
  constexpr bool Holds(uint32_t address, size_t length) const {
    return address >= base && uint64_t{address - base} + length <= size;
  }
};

// Working memory: room for the longest read the command block can ask for.
inline constexpr ChipMemoryRegion kWorkingMemory = {0x20000000, 0x10000, false};
// System control: the pass-through word and the selector.
inline constexpr ChipMemoryRegion kSystemControl = {0x40100000, 0x1000, true};
// The configuration controller: the commit register.
inline constexpr ChipMemoryRegion kConfigurationControl = {0x401E0000, 0x1000, true};

// Every address the chip answers for; everything else is out of range.
inline constexpr std::array<ChipMemoryRegion, 3> kChipMemoryMap = {kWorkingMemory, kSystemControl,
                                                                   kConfigurationControl};

// A 32-bit word: a camera whose word reads 0 is left out of the pass-through route's DFU list.
inline constexpr uint32_t kPassThroughWordAddress = 0x40100000;
// One byte: whether the configuration must be checked at all (1: check it).
inline constexpr uint32_t kSelectorAddress = 0x401002E4;
// A 32-bit word: writing the commit value here makes the patched configuration take effect.
inline constexpr uint32_t kCommitRegisterAddress = 0x401E0204;

static_assert(kSystemControl.Holds(kPassThroughWordAddress, 4));
static_assert(kSystemControl.Holds(kSelectorAddress, 1));
static_assert(kConfigurationControl.Holds(kCommitRegisterAddress, 4) && kCommitRegisterAddress % 4 == 0);

}  // namespace fcp::uvc
