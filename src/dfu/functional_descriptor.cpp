#include "dfu/functional_descriptor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "dfu/diagnostic.h"

namespace fcp::dfu {

DescriptorSearch FindFunctionalDescriptor(const uint8_t* block, int length, DfuFunctionalDescriptor& out) {
  if (block == nullptr || length < 2) return DescriptorSearch::kNotFound;
  int position = 0;
  while (position + 1 < length) {
    const int descriptor_length = block[position];
    if (descriptor_length == 0) {
      SetDiagnostic("Invalid descriptor list");
      return DescriptorSearch::kInvalidList;
    }
    if (block[position + 1] == kFunctionalDescriptorType) {
      const int count = std::min({descriptor_length, static_cast<int>(sizeof out), length - position});
      std::memcpy(&out, block + position, static_cast<std::size_t>(count));
      return DescriptorSearch::kFound;
    }
    position += descriptor_length;
  }
  return DescriptorSearch::kNotFound;
}

void ApplyFunctionalDescriptorLength(DfuFunctionalDescriptor& descriptor) {
  if (descriptor.bLength == 7) {
    std::printf("Deducing device DFU version from functional descriptor length\n");
    descriptor.bcdDFUVersion = kDfuVersion10;
  } else if (descriptor.bLength < sizeof(DfuFunctionalDescriptor)) {
    std::printf("Error obtaining DFU functional descriptor\n");
    std::printf("Please report this as a bug!\n");
    std::printf("Warning: Assuming DFU version 1.0\n");
    descriptor.bcdDFUVersion = kDfuVersion10;
    std::printf("Warning: Transfer size can not be detected\n");
    descriptor.wTransferSize = 0;
  }
}

}  // namespace fcp::dfu
