#include "driver/registered_table.h"

namespace fcp::driver {
namespace {

class TableLock {
 public:
  explicit TableLock(KernelPort& kernel) : kernel_(kernel) { kernel_.AcquireTableLock(token_); }
  ~TableLock() { kernel_.ReleaseTableLock(token_); }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

 private:
  KernelPort& kernel_;
  LockToken token_;
};

// A handle value names a slot (low half: slot + 1) and the registration that filled it (high half), so it is
// never zero, never a kernel address, and a stale value does not reach a later device in its slot.
uint64_t HandleValue(int slot, uint32_t generation) { return uint64_t(generation) << 32 | uint32_t(slot + 1); }

int FindSlot(const DeviceExtension& ext, uint64_t handle) {
  if (handle == 0) return -1;
  for (int i = 0; i < ext.high_water; ++i) {
    if (ext.registered[i] && ext.handles[i] == handle) return i;
  }
  return -1;
}

}  // namespace

NtStatus RegisterDevice(DeviceExtension& ext, KernelObject device, uint64_t* handle) {
  TableLock lock(*ext.kernel);
  int empty = -1;
  for (int i = 0; i < kRegisteredSlots; ++i) {
    if (ext.registered[i] == device) {
      ++ext.use_counts[i];
      *handle = ext.handles[i];
      return kStatusSuccess;
    }
    if (!ext.registered[i] && empty < 0) empty = i;
  }
  if (empty < 0) return kStatusInsufficientResources;
  ext.registered[empty] = device;
  ext.use_counts[empty] = 1;
  ext.handles[empty] = HandleValue(empty, ++ext.generation);
  if (empty + 1 > ext.high_water) ext.high_water = empty + 1;
  *handle = ext.handles[empty];
  return kStatusSuccess;
}

NtStatus UnregisterDevice(DeviceExtension& ext, uint64_t handle) {
  KernelObject released = nullptr;
  {
    TableLock lock(*ext.kernel);
    const int slot = FindSlot(ext, handle);
    if (slot < 0) return kStatusInvalidParameter;
    released = ext.registered[slot];
    if (--ext.use_counts[slot] == 0) {
      ext.registered[slot] = nullptr;
      ext.handles[slot] = 0;
      int top = -1;
      for (int i = 0; i < kRegisteredSlots; ++i) {
        if (ext.registered[i]) top = i;
      }
      ext.high_water = top < 0 ? -1 : top + 1;
    }
  }
  ext.kernel->DereferenceObject(released);
  return kStatusSuccess;
}

KernelObject ReferenceRegisteredDevice(DeviceExtension& ext, uint64_t handle) {
  TableLock lock(*ext.kernel);
  const int slot = FindSlot(ext, handle);
  if (slot < 0) return nullptr;
  ext.kernel->ReferenceObject(ext.registered[slot]);
  return ext.registered[slot];
}

}  // namespace fcp::driver
