// The string-descriptor exchange fed with arbitrary transfer results: any byte count or error, any
// bytes. The conversion must stay inside the transfer buffer and the caller's text buffer.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "dfu/string_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const uint8_t index = input.ConsumeIntegral<uint8_t>();

  auto transport = [&input](uint16_t, uint16_t, uint8_t* buffer) {
    const int result = input.ConsumeIntegralInRange<int>(-14, 400);
    const std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(
        std::min<size_t>(input.ConsumeIntegralInRange<size_t>(0, 255), fcp::dfu::kStringRequestLength));
    std::copy(bytes.begin(), bytes.end(), buffer);
    return result;
  };

  // Exactly the room callers provide, on the heap so that ASan sees one byte too many.
  std::vector<char> text(fcp::dfu::kStringTextSize);
  const int count = fcp::dfu::ReadStringAscii(transport, index, text.data());
  if (count >= 0) {
    if (static_cast<size_t>(count) >= text.size() || text[static_cast<size_t>(count)] != '\0') std::abort();
  }
  return 0;
}
