// Names of the status codes the extension unit reports in byte 0 of its status reply.
#include <array>
#include <cwchar>

#include "uvc/uvc.h"
#include "uvc/vcmd.h"

namespace {

constexpr std::array<const wchar_t*, 10> kStatusNames = {
    L"VCMD_STS_CMD",          L"VCMD_STS_DATA_IN",      L"VCMD_STS_DATA_OUT",
    L"VCMD_STS_ERR_DIR",      L"VCMD_STS_NOT_FINISH",   L"VCMD_STS_ERR_LEN",
    L"VCMD_STS_UNKNOWN_SCMD", L"VCMD_STS_ERR_OUTRANGE", L"VCMD_STS_UNKNOWN_CMD",
    L"VCMD_STS_HW_ERR"};
static_assert(kStatusNames.size() == static_cast<size_t>(fcp::uvc::VcmdStatus::kHwErr) + 1);

}  // namespace

std::wstring VcmdStatusName(const uint8_t reply[8]) {
  if (reply == nullptr) return {};
  if (reply[0] < kStatusNames.size()) return kStatusNames[reply[0]];
  if (reply[0] == static_cast<uint8_t>(fcp::uvc::VcmdStatus::kRetNoErr)) return L"VCMD_STS_RET_NO_ERR";
  // Byte 1 first, then byte 0.
  wchar_t text[40];
  std::swprintf(text, std::size(text), L"undefined error code 0x%02X%02X", reply[1], reply[0]);
  return text;
}
