#include "passthrough/camera_text.h"

#include <algorithm>
#include <array>

#include "text/registry_text.h"

namespace fcp::passthrough {

os::ConfigRet ReadDeviceId(os::DeviceSetup& setup, os::DevInst node, wchar_t (&id)[kDeviceIdChars]) {
  std::fill_n(id, kDeviceIdChars, L'\0');
  os::ConfigRet result = setup.GetDeviceId(node, id, kDeviceIdChars, 0);
  // An ID that fills the buffer to the last character came without its terminator: it may be cut.
  if (result == os::kCrSuccess && id[kDeviceIdChars - 1] != L'\0') result = os::kCrBufferSmall;
  if (result == os::kCrSuccess && id[0] == L'\0') result = os::kCrInvalidDeviceId;
  if (result != os::kCrSuccess) id[0] = L'\0';
  return result;
}

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
