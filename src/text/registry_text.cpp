#include "text/registry_text.h"

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
  for (const wchar_t c : text) {
    const uint32_t unit = static_cast<uint32_t>(c);
    if (unit > 0xFFFF) {
      const uint32_t v = unit - 0x10000;
      AppendUnit(bytes, 0xD800 + (v >> 10));
      AppendUnit(bytes, 0xDC00 + (v & 0x3FF));
      continue;
    }
    AppendUnit(bytes, unit);
  }
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
  std::wstring text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const char16_t unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit == 0) break;
    if constexpr (sizeof(wchar_t) == 4) {
      if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < size) {
        const char16_t low = static_cast<char16_t>(data[i + 2] | data[i + 3] << 8);
        if (low >= 0xDC00 && low < 0xE000) {
          text.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
          i += 2;
          continue;
        }
      }
    }
    text.push_back(static_cast<wchar_t>(unit));
  }
  return text;
}

}  // namespace fcp::text
