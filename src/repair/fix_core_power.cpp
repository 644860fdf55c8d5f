#include "repair/fix_core_power.h"

#include <algorithm>
#include <cstring>

#include "dfu/chip_requests.h"
#include "dfu/dfu.h"
#include "repair/core_power_constants.h"
#include "uvc/chip_memory_map.h"
#include "uvc/uvc.h"

namespace fcp::repair {
namespace {

// A safe point: a stop request ends the run here, without a verdict.
bool StopsHere(const std::stop_token& stop, bool* stopped) {
  if (!stop.stop_requested()) return false;
  if (stopped) *stopped = true;
  return true;
}

bool IsBlank(const uint8_t* bytes, size_t length) {
  return std::all_of(bytes, bytes + length, [](uint8_t b) { return b == 0; });
}

// A request counts only when it moved every byte asked for. The request functions report a short
// transfer as success; accepting one here would compare never-received bytes as zeros (and so take
// foreign data for a blank patch area) or report a torn patch write or commit as PASS.
bool MovedAll(int request_result, uint16_t length) {
  return request_result != 0 && DFU_LastTransferLength() == length;
}

bool ReadConfig(uint16_t offset, uint8_t* buffer, uint16_t length) {
  std::memset(buffer, 0, length);
  return MovedAll(DFU_Vendorreqget(dfu::kRequestReadConfig, 0, offset, buffer, length), length);
}

bool WriteConfig(uint16_t offset, const uint8_t* data, uint16_t length) {
  return MovedAll(DFU_Vendorreqset(dfu::kRequestWriteConfig, 0, offset, data, length), length);
}

bool WriteWord(uint32_t address, const std::array<uint8_t, 4>& value) {
  return MovedAll(DFU_Vendorreqset(dfu::kRequestWriteWord, static_cast<uint16_t>(address >> 16),
                                   static_cast<uint16_t>(address & 0xFFFF), value.data(), 4),
                  4);
}

// The DFU-side steps, from the configuration read to the commit. The connection is open on entry;
// the caller closes it exactly once whatever happens here.
int RepairOverDfu(std::wstring& error, const std::stop_token& stop, bool* stopped) {
  uint8_t pbyRead[kConfigurationLength];
  if (!ReadConfig(0, pbyRead, kConfigurationLength)) {
    error = L"Failed to DFU_Vendorreqget(0x52, 0, 0, pbyRead, 59)\n";
    return 0;
  }
  if (std::equal(kReferenceBlock.begin(), kReferenceBlock.end(), pbyRead)) return 1;

  const uint8_t* patch_area = pbyRead + kPatchOffset;
  if (std::equal(kPatch.begin(), kPatch.end(), patch_area)) return 1;
  if (!IsBlank(patch_area, kPatch.size())) {
    error = L"Failed to memcmp(&pbyRead[40], pbyPatch, 19)\n";
    return 0;
  }

  // Last safe point: from the patch write on, the read-back and the commit always follow.
  if (StopsHere(stop, stopped)) return 0;

  if (!WriteConfig(kPatchOffset, kPatch.data(), kPatch.size())) {
    error = L"Failed to DFU_Vendorreqset(0x51, 0x0, 40, pbyPatch, 19)\n";
    return 0;
  }
  uint8_t pbyReadPatch[kPatch.size()];
  if (!ReadConfig(kPatchOffset, pbyReadPatch, kPatch.size())) {
    error = L"Failed to DFU_Vendorreqget(0x52, 0, 40, pbyReadPatch, 19)\n";
    return 0;
  }
  // A read-back that differs records no message: the error text stays empty.
  if (!std::equal(kPatch.begin(), kPatch.end(), pbyReadPatch)) return 0;

  if (!WriteWord(uvc::kCommitRegisterAddress, kCommitValue)) {
    error = L"Failed to fix core power.\n";
    return 0;
  }
  return 1;
}

// A selector that ends the check at once is read again where the platform cannot tell a read that
// moved no data from a good one: such a read leaves zeros, and a blank chip would pass unrepaired.
// Both reads must agree.
bool SelectorConfirmed(uint8_t selector) {
  if (selector == kSelectorCheckConfiguration || UVC_ReportsEmptyReads()) return true;
  uint8_t again = 0;
  return UVC_ReadMem(uvc::kSelectorAddress, &again, 1) && again == selector;
}

}  // namespace

int FixCorePower(const std::wstring& location, std::wstring& error, std::stop_token stop, bool* stopped) {
  if (stopped) *stopped = false;
  if (location.empty()) {
    error = L"No vaild device.\n";
    return 0;
  }
  error.clear();
  if (StopsHere(stop, stopped)) return 0;

  if (!UVC_OpenByLocationInfo(location.c_str())) {
    error = L"Failed to UVC_OpenByLocationInfo\n";
    return 0;
  }
  if (!UVC_IsVZQ2202()) {
    error = L"It is not VZQ2202 IC\n";
    UVC_Close();
    return 0;
  }
  uint8_t selector = 0;
  if (!UVC_ReadMem(uvc::kSelectorAddress, &selector, 1) || !SelectorConfirmed(selector)) {
    error = L"Failed to UVC_ReadMem 0x401002E4\n";
    UVC_Close();
    return 0;
  }
  // The camera side is always released before the DFU side is opened.
  UVC_Close();
  if (selector != kSelectorCheckConfiguration) return 1;

  if (StopsHere(stop, stopped)) return 0;
  if (!DFU_OpenByLocationInfo(location.c_str())) {
    error = L"Failed to DFU_OpenByLocationInfo\n";
    return 0;
  }
  const int verdict = RepairOverDfu(error, stop, stopped);
  DFU_Close();
  return verdict;
}

}  // namespace fcp::repair
