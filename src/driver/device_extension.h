// State of the driver's one device: the registered USB devices and the handles open on the driver.
#pragma once
#include <cstdint>

#include "driver/kernel_port.h"

namespace fcp::driver {

inline constexpr int kRegisteredSlots = 32;
inline constexpr int kOpenerSlots = 32;
// Removals reported for watches whose registration had not reached its slot yet.
inline constexpr int kEarlyRemovals = 8;

struct DeviceExtension {
  KernelPort* kernel = nullptr;

  // Guarded by the table lock.
  KernelObject registered[kRegisteredSlots] = {};  // referenced physical device objects
  int32_t use_counts[kRegisteredSlots] = {};
  uint64_t handles[kRegisteredSlots] = {};  // the value user mode names each slot by
  int32_t high_water = -1;                  // one past the highest slot in use
  uint32_t generation = 0;                  // makes every registration's handle value new
  // The uses of each slot held by each opener (the opener slot's file object): a handle works only
  // through an opener that holds a use of it, and an opener's cleanup drops all of them.
  int32_t opener_uses[kOpenerSlots][kRegisteredSlots] = {};
  // Removal of each registered device: the watch on it, its id, and whether the device is gone.
  RemovalWatch* watches[kRegisteredSlots] = {};
  uint32_t watch_ids[kRegisteredSlots] = {};
  bool removed[kRegisteredSlots] = {};
  // Registered as a hub (transport kind 2) by any opener: only descriptor reads and vendor requests
  // to the device reach it.
  bool hub[kRegisteredSlots] = {};
  uint32_t early_removals[kEarlyRemovals] = {};  // watch ids, 0: none
  uint32_t next_early_removal = 0;

  // Changed with interlocked operations only.
  int32_t watch_sequence = 0;
  // File objects of the open handles. Taken with compare-exchange; cleared only under the table lock,
  // together with the opener's uses.
  KernelObject openers[kOpenerSlots] = {};
  int32_t open_count = 0;
};

}  // namespace fcp::driver
