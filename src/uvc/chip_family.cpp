// The chip family table and the family test of the repair sequence.
#include <array>
#include <span>

#include "fcp/maker_ids.h"
#include "text/ascii_case.h"
#include "uvc/current_camera.h"
#include "uvc/uvc.h"

namespace {

struct ChipFamily {
  const wchar_t* strName;
  std::array<uint32_t, 6> dwPid;  // the family's product IDs first, empty slots 0
};

constexpr std::array<uint32_t, 6> Slots(std::span<const uint32_t> pids) {
  std::array<uint32_t, 6> slots{};
  for (size_t i = 0; i < pids.size() && i < slots.size(); ++i) slots[i] = pids[i];
  return slots;
}

// Rows in lookup order. Empty slots hold 0, and product ID 0 matches no family: a chip that reports
// 0 (for instance a status block of zeros) is of no known family and is never repaired.
constexpr std::array<ChipFamily, 3> kChipFamilies = {{
    {L"VZQ2201", Slots(fcp::maker::kPidsVzq2201)},
    {L"VZQ2202", Slots(fcp::maker::kPidsVzq2202)},
    {L"VZQ2203", Slots(fcp::maker::kPidsVzq2203)},
}};

constexpr bool AllNonzero(std::span<const uint32_t> pids) {
  for (uint32_t pid : pids) {
    if (pid == 0 || pid > 0xFFFF) return false;
  }
  return true;
}
static_assert(AllNonzero(fcp::maker::kPidsVzq2201) && AllNonzero(fcp::maker::kPidsVzq2202) &&
                  AllNonzero(fcp::maker::kPidsVzq2203),
              "chip product IDs are nonzero 16-bit values");

}  // namespace

const wchar_t* LookupChipFamily(uint16_t product_id) {
  if (product_id == 0) return nullptr;
  for (const ChipFamily& family : kChipFamilies) {
    for (uint32_t pid : family.dwPid) {
      if (pid == product_id) return family.strName;
    }
  }
  return nullptr;
}

int UVC_IsVZQ2202() {
  const fcp::uvc::CurrentCamera& camera = fcp::uvc::Camera();
  if (camera.device_id.empty()) return 0;
  const uint16_t chip_product_id = static_cast<uint16_t>(camera.status[2] | camera.status[3] << 8);
  const wchar_t* family = LookupChipFamily(chip_product_id);
  return fcp::text::EqualsIgnoringCase(family != nullptr ? family : L"", L"VZQ2202") ? 1 : 0;
}
