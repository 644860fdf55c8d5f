#include "dfu/device_table.h"

#include <cwctype>
#include <utility>

namespace fcp::dfu {

bool DeviceTable::Add(std::wstring location, std::wstring name, DevicePath path) {
  if (count_ == kMaxDeviceTableEntries) return false;
  entries_[count_++] = DeviceTableEntry{std::move(location), std::move(name), path};
  return true;
}

const DeviceTableEntry* DeviceTable::At(int index) const {
  if (index < 0 || index >= count_) return nullptr;
  return &entries_[index];
}

int DeviceTable::FindLocation(const wchar_t* location) const {
  for (int i = 0; i < count_; ++i)
    if (EqualIgnoringCase(entries_[i].location.c_str(), location)) return i;
  return -1;
}

DeviceTable& TheDeviceTable() {
  static DeviceTable table;
  return table;
}

std::wstring Widen(const char* text) {
  std::wstring wide;
  for (; *text != '\0'; ++text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
  return wide;
}

bool EqualIgnoringCase(const wchar_t* left, const wchar_t* right) {
  for (;; ++left, ++right) {
    if (std::towlower(static_cast<wint_t>(*left)) != std::towlower(static_cast<wint_t>(*right))) return false;
    if (*left == L'\0') return true;
  }
}

}  // namespace fcp::dfu
