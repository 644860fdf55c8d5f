#include "passthrough/camera_text.h"

#include <algorithm>
#include <array>

#include "uvc/device_text.h"

namespace fcp::passthrough {
namespace {

wchar_t UpperAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

}  // namespace

void CopyText(std::wstring_view text, wchar_t (&field)[kKvCamTextChars]) {
  const size_t n = std::min<size_t>(text.size(), kKvCamTextChars - 1);
  std::copy_n(text.begin(), n, field);
  field[n] = L'\0';
}

bool ReadTextProperty(os::DeviceSetup& setup, os::DeviceInfoSet set, const os::DeviceInfoData& device, DWORD property,
                      wchar_t (&field)[kKvCamTextChars]) {
  std::array<uint8_t, kKvCamTextChars * 2> bytes{};
  DWORD type = 0;
  if (!setup.GetDeviceRegistryProperty(set, device, property, &type, bytes.data(), bytes.size(), nullptr)) return false;
  CopyText(uvc::TextFromRegistryBytes(bytes.data(), bytes.size()), field);
  return true;
}

bool ContainsIgnoringCase(std::wstring_view text, std::wstring_view part) {
  return std::search(text.begin(), text.end(), part.begin(), part.end(),
                     [](wchar_t a, wchar_t b) { return UpperAscii(a) == UpperAscii(b); }) != text.end();
}

}  // namespace fcp::passthrough
