// State of the driver's one device: the registered USB devices and the handles open on the driver.
#pragma once
#include <cstdint>

#include "driver/kernel_port.h"

namespace fcp::driver {

inline constexpr int kRegisteredSlots = 32;
inline constexpr int kOpenerSlots = 32;

struct DeviceExtension {
  KernelPort* kernel = nullptr;

  // Guarded by the table lock.
  KernelObject registered[kRegisteredSlots] = {};  // referenced physical device objects
  int32_t use_counts[kRegisteredSlots] = {};
  uint64_t handles[kRegisteredSlots] = {};  // the value user mode names each slot by
  int32_t high_water = -1;                  // one past the highest slot in use
  uint32_t generation = 0;                  // makes every registration's handle value new

  // Changed with interlocked operations only.
  KernelObject openers[kOpenerSlots] = {};  // file objects of the open handles
  int32_t open_count = 0;
};

}  // namespace fcp::driver
