#include "dfu/device_table.h"

#include <utility>

#include "text/ascii_case.h"

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
    if (text::EqualsIgnoringCase(entries_[i].location, location)) return i;
  return -1;
}

DeviceTable& TheDeviceTable() {
  static DeviceTable table;
  return table;
}

}  // namespace fcp::dfu
