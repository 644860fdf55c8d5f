// Any block of extra descriptor bytes: the walk stays inside it and the copy inside the descriptor.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dfu/functional_descriptor.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The length warnings go to standard output; keep the run's own output readable.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so that any read past the block is caught.
  std::vector<uint8_t> block(data, data + size);
  fcp::dfu::DfuFunctionalDescriptor descriptor{};
  const auto search = fcp::dfu::FindFunctionalDescriptor(block.empty() ? nullptr : block.data(),
                                                         static_cast<int>(block.size()), descriptor);
  if (search == fcp::dfu::DescriptorSearch::kFound) {
    if (descriptor.bLength == 0) std::abort();  // a zero length ends the walk, it is never a hit
    fcp::dfu::ApplyFunctionalDescriptorLength(descriptor);
    if (descriptor.bLength < 9 && descriptor.bcdDFUVersion != fcp::dfu::kDfuVersion10) std::abort();
  } else {
    const fcp::dfu::DfuFunctionalDescriptor untouched{};
    if (std::memcmp(&descriptor, &untouched, sizeof descriptor) != 0) std::abort();
  }
  return 0;
}
