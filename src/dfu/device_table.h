// The DFU device table: everything the connection can open, indexed from 0 in the order of building.
// Entry k of the libusb part is node k of the DFU interface list.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace fcp::dfu {

inline constexpr int kMaxDeviceTableEntries = 24;

enum class DevicePath : int32_t {
  kLibusb = 0,       // a DFU interface of the interface list
  kPassThrough = 1,  // a camera reached through the pass-through driver
};

struct DeviceTableEntry {
  std::wstring location;
  std::wstring name;
  DevicePath path = DevicePath::kLibusb;
};

class DeviceTable {
 public:
  // False, and nothing added, once the table holds kMaxDeviceTableEntries.
  bool Add(std::wstring location, std::wstring name, DevicePath path);
  void Clear() { count_ = 0; }
  int Count() const { return count_; }
  const DeviceTableEntry* At(int index) const;  // null outside the table
  // The first entry whose location equals `location` without regard to case, or -1.
  int FindLocation(const wchar_t* location) const;

 private:
  DeviceTableEntry entries_[kMaxDeviceTableEntries];
  int count_ = 0;
};

// The one table of the process.
DeviceTable& TheDeviceTable();

}  // namespace fcp::dfu
