// Device paths, hardware identifiers and registry bytes come from outside: every text rule must stay
// within its input, whatever the input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "text/ascii_case.h"
#include "text/registry_text.h"
#include "uvc/device_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace fcp::uvc;
  std::wstring text = fcp::text::TextFromRegistryBytes(data, size);
  // Also as one byte per character, so '#', "usb", "VID_" and friends are easy to reach.
  std::wstring narrow(data, data + size);
  for (std::wstring* input : {&text, &narrow}) {
    const std::wstring id = DeviceIdFromPath(*input);
    if (id.size() > input->size()) __builtin_trap();
    (void)HexFieldAfter(*input, L"VID", 4);
    (void)HexFieldAfter(*input, L"PID_", 4);
    (void)DecimalFieldAfter(*input, L"REV_");
    if (auto name = DeviceNameFromHardwareId(*input); name && name->size() + 10 != input->size()) __builtin_trap();
    if (LocationTail(*input).size() > kLocationLength) __builtin_trap();
    if (!fcp::text::EqualsIgnoringCase(fcp::text::UpperAscii(*input), *input)) __builtin_trap();
  }
  return 0;
}
