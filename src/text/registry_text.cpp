#include "text/registry_text.h"

#include "text/widening.h"

namespace fcp::text {
namespace {

void AppendUnit(std::vector<uint8_t>& bytes, uint32_t unit) {
  bytes.push_back(static_cast<uint8_t>(unit));
  bytes.push_back(static_cast<uint8_t>(unit >> 8));
}

}  // namespace

std::vector<uint8_t> RegistryStringBytes(std::wstring_view text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() * 2 + 2);
  for (const char16_t unit : Utf16OfWide(text)) AppendUnit(bytes, unit);
  AppendUnit(bytes, 0);
  return bytes;
}

std::vector<uint8_t> RegistryMultiStringBytes(const std::vector<std::wstring>& texts) {
  std::vector<uint8_t> bytes;
  for (const auto& text : texts) {
    const auto one = RegistryStringBytes(text);
    bytes.insert(bytes.end(), one.begin(), one.end());
  }
  AppendUnit(bytes, 0);
  return bytes;
}

std::wstring TextFromRegistryBytes(const uint8_t* data, size_t size) {
  std::u16string units;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const char16_t unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit == 0) break;
    units.push_back(unit);
  }
  return WidenUtf16(units);
}

}  // namespace fcp::text
