// The DFU functional descriptor (type 0x21) and how it is found among a configuration's or an
// interface's extra descriptor bytes.
#pragma once
#include <bit>
#include <cstdint>

namespace fcp::dfu {

inline constexpr uint8_t kFunctionalDescriptorType = 0x21;
inline constexpr uint16_t kDfuVersion10 = 0x0100;
inline constexpr uint16_t kDfuVersion11 = 0x0110;

// Nine bytes exactly as they arrive on the wire. Fewer may have been received; the rest stays zero.
#pragma pack(push, 1)
struct DfuFunctionalDescriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bmAttributes;
  uint16_t wDetachTimeOut;
  uint16_t wTransferSize;
  uint16_t bcdDFUVersion;
};
#pragma pack(pop)
static_assert(sizeof(DfuFunctionalDescriptor) == 9);
static_assert(std::endian::native == std::endian::little, "wire bytes are copied as they are");

enum class DescriptorSearch { kNotFound, kFound, kInvalidList };

// Walks a block of descriptors (bLength, bDescriptorType, ...) of `length` bytes. On a type-0x21
// descriptor copies up to 9 of its bytes, never more than the block still holds, into `out` (which
// the caller has zeroed) and answers kFound. A descriptor of length 0 ends the walk with the
// diagnostic "Invalid descriptor list".
DescriptorSearch FindFunctionalDescriptor(const uint8_t* block, int length, DfuFunctionalDescriptor& out);

// Settles the DFU version and transfer size of a descriptor shorter than 9 bytes, printing the
// length warnings on standard output.
void ApplyFunctionalDescriptorLength(DfuFunctionalDescriptor& descriptor);

}  // namespace fcp::dfu
