#include "uvc/device_text.h"

#include <algorithm>

namespace fcp::uvc {
namespace {

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

}  // namespace

std::wstring DeviceIdFromPath(std::wstring_view device_path) {
  const size_t last_hash = device_path.rfind(L'#');
  std::wstring_view id = last_hash == std::wstring_view::npos ? std::wstring_view{} : device_path.substr(0, last_hash);
  if (const size_t usb = id.find(L"usb"); usb != std::wstring_view::npos) id.remove_prefix(usb);
  std::wstring result(id);
  std::replace(result.begin(), result.end(), L'#', L'\\');
  return result;
}

std::wstring_view LocationTail(std::wstring_view location_information) {
  if (location_information.size() <= kLocationLength) return location_information;
  return location_information.substr(location_information.size() - kLocationLength);
}

std::optional<uint16_t> HexFieldAfter(std::wstring_view text, std::wstring_view key, size_t offset,
                                      size_t width) {
  const size_t at = text.find(key);
  if (at == std::wstring_view::npos || text.size() - at <= offset) return std::nullopt;
  const std::wstring_view field = text.substr(at + offset, width);
  uint32_t value = 0;
  size_t digits = 0;
  for (wchar_t c : field) {
    const int v = HexValue(c);
    if (v < 0) break;
    value = value << 4 | static_cast<uint32_t>(v);
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  return static_cast<uint16_t>(value);
}

std::optional<uint16_t> DecimalFieldAfter(std::wstring_view text, std::wstring_view key) {
  const size_t at = text.find(key);
  if (at == std::wstring_view::npos) return std::nullopt;
  const std::wstring_view field = text.substr(at + key.size(), 4);
  uint32_t value = 0;
  size_t digits = 0;
  for (wchar_t c : field) {
    if (c < L'0' || c > L'9') break;
    value = value * 10 + static_cast<uint32_t>(c - L'0');
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  return static_cast<uint16_t>(value);
}

std::optional<std::wstring> DeviceNameFromHardwareId(std::wstring_view hardware_id) {
  constexpr size_t kBusPrefix = 4;         // "USB\"
  constexpr size_t kInterfaceSuffix = 6;   // "&MI_00"
  if (hardware_id.size() < kBusPrefix + kInterfaceSuffix) return std::nullopt;
  return std::wstring(hardware_id.substr(kBusPrefix, hardware_id.size() - kBusPrefix - kInterfaceSuffix));
}

}  // namespace fcp::uvc
