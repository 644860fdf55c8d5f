#include "passthrough/camera_text.h"

#include <algorithm>
#include <array>

#include "text/registry_text.h"

namespace fcp::passthrough {

void CopyText(std::wstring_view text, wchar_t (&field)[kKvCamTextChars]) {
  const size_t n = std::min<size_t>(text.size(), kKvCamTextChars - 1);
  std::copy_n(text.begin(), n, field);
  field[n] = L'\0';
}

bool ReadTextProperty(os::DeviceSetup& setup, os::DeviceInfoSet set, const os::DeviceInfoData& device, DWORD property,
                      wchar_t (&field)[kKvCamTextChars]) {
  std::array<uint8_t, static_cast<size_t>(kKvCamTextChars) * 2> bytes{};
  DWORD type = 0;
  if (!setup.GetDeviceRegistryProperty(set, device, property, &type, bytes.data(), bytes.size(), nullptr)) return false;
  CopyText(text::TextFromRegistryBytes(bytes.data(), bytes.size()), field);
  return true;
}

}  // namespace fcp::passthrough
