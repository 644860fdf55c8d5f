#include "dfu/string_descriptor.h"

#include <algorithm>

#include "dfu/diagnostic.h"

namespace fcp::dfu {
namespace {

constexpr uint8_t kStringDescriptorType = 3;
constexpr uint16_t kStringDescriptorValue = 0x0300;  // type 3 in the high byte, index in the low byte
constexpr int kMaxCharacters = 253;

// A transport that claims more than was asked for is held to the buffer it was given.
int Request(const StringDescriptorRequest& request, uint16_t value, uint16_t index,
            uint8_t (&data)[kStringRequestLength]) {
  std::fill(std::begin(data), std::end(data), uint8_t{0});
  const int result = request(value, index, data);
  return std::min<int>(result, kStringRequestLength);
}

}  // namespace

int ReadStringAscii(const StringDescriptorRequest& request, uint8_t index, char* text) {
  uint8_t data[kStringRequestLength];

  int received = Request(request, kStringDescriptorValue, 0, data);
  if (received < 0) {
    SetDiagnostic("Failed to retrieve language identifiers");
    return received;
  }
  if (received < 4 || data[0] < 4 || data[1] != kStringDescriptorType) {
    SetDiagnostic("Broken LANGID string descriptor");
    return -1;
  }
  const uint16_t language_id = static_cast<uint16_t>(data[2] | data[3] << 8);

  received = Request(request, static_cast<uint16_t>(kStringDescriptorValue | index), language_id, data);
  if (received < 0) {
    SetDiagnostic("Failed to retrieve string descriptor %d", index);
    return received;
  }
  // Fewer than two bytes carry no type: read it as 0, whatever else the buffer holds.
  const uint8_t type = received >= 2 ? data[1] : 0;
  if (type != kStringDescriptorType) {
    SetDiagnostic("Malformed string descriptor %d, type = 0x%02x", index, type);
    return -1;
  }
  int length = data[0];
  if (length > received) {
    SetDiagnostic("Patching string descriptor %d length (was %d, received %d)", index, length, received);
    length = received;
  }

  int count = 0;
  while (2 * count + 3 < length && count < kMaxCharacters) {
    const uint8_t low = data[2 + 2 * count];
    const uint8_t high = data[3 + 2 * count];
    text[count] = high != 0 ? '?' : static_cast<char>(low);
    ++count;
  }
  text[count] = '\0';
  return count;
}

}  // namespace fcp::dfu
