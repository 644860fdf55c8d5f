#include "driver/registered_table.h"

#include "driver/interlocked.h"

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

// What is left to do once the lock is released: references to drop and watches to end (a watch ends
// only at passive level). Declared before the lock, so it runs after the lock's release.
class Releases {
 public:
  explicit Releases(KernelPort& kernel) : kernel_(kernel) {}
  ~Releases() {
    for (int i = 0; i < count_; ++i) {
      if (entries_[i].watch) kernel_.EndRemovalWatch(entries_[i].watch);
      for (int32_t n = entries_[i].references; n > 0; --n) kernel_.DereferenceObject(entries_[i].device);
    }
  }
  Releases(const Releases&) = delete;
  Releases& operator=(const Releases&) = delete;
  void Add(KernelObject device, int32_t references, RemovalWatch* watch) {
    entries_[count_++] = {device, references, watch};
  }

 private:
  struct Entry {
    KernelObject device;
    int32_t references;
    RemovalWatch* watch;
  };
  KernelPort& kernel_;
  Entry entries_[kRegisteredSlots] = {};
  int count_ = 0;
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

// Opener slots are cleared only under the table lock, so under it the answer stays true.
int FindOpener(DeviceExtension& ext, KernelObject file) {
  if (!file) return -1;
  for (int i = 0; i < kOpenerSlots; ++i) {
    if (InterlockedReadPointer(&ext.openers[i]) == file) return i;
  }
  return -1;
}

// Takes `uses` uses off `slot`; their references, and an emptied slot's watch, go to `releases`.
// Under the table lock.
void DropUses(DeviceExtension& ext, int slot, int32_t uses, Releases& releases) {
  KernelObject device = ext.registered[slot];
  RemovalWatch* watch = nullptr;
  ext.use_counts[slot] -= uses;
  if (ext.use_counts[slot] == 0) {
    watch = ext.watches[slot];
    ext.registered[slot] = nullptr;
    ext.handles[slot] = 0;
    ext.watches[slot] = nullptr;
    ext.watch_ids[slot] = 0;
    ext.removed[slot] = false;
    ext.hub[slot] = false;
  }
  releases.Add(device, uses, watch);
}

void LowerHighWater(DeviceExtension& ext) {
  int top = -1;
  for (int i = 0; i < kRegisteredSlots; ++i) {
    if (ext.registered[i]) top = i;
  }
  ext.high_water = top < 0 ? -1 : top + 1;
}

bool TakeEarlyRemoval(DeviceExtension& ext, uint32_t watch_id) {
  for (uint32_t& id : ext.early_removals) {
    if (id == watch_id) {
      id = 0;
      return true;
    }
  }
  return false;
}

}  // namespace

NtStatus RegisterDevice(DeviceExtension& ext, KernelObject file, KernelObject device, bool hub, RemovalWatch* watch,
                        uint32_t watch_id, uint64_t* handle, bool* watch_taken) {
  *watch_taken = false;
  TableLock lock(*ext.kernel);
  const int opener = FindOpener(ext, file);
  if (opener < 0) return kStatusInvalidParameter;
  int empty = -1;
  for (int i = 0; i < kRegisteredSlots; ++i) {
    if (ext.registered[i] == device) {
      ++ext.use_counts[i];
      ++ext.opener_uses[opener][i];
      ext.hub[i] = ext.hub[i] || hub;
      *handle = ext.handles[i];
      return kStatusSuccess;
    }
    if (!ext.registered[i] && empty < 0) empty = i;
  }
  if (empty < 0) return kStatusInsufficientResources;
  ext.registered[empty] = device;
  ext.use_counts[empty] = 1;
  ext.opener_uses[opener][empty] = 1;
  ext.handles[empty] = HandleValue(empty, ++ext.generation);
  ext.watches[empty] = watch;
  ext.watch_ids[empty] = watch_id;
  ext.hub[empty] = hub;
  ext.removed[empty] = TakeEarlyRemoval(ext, watch_id);
  if (empty + 1 > ext.high_water) ext.high_water = empty + 1;
  *handle = ext.handles[empty];
  *watch_taken = true;
  return kStatusSuccess;
}

NtStatus UnregisterDevice(DeviceExtension& ext, KernelObject file, uint64_t handle) {
  Releases releases(*ext.kernel);
  TableLock lock(*ext.kernel);
  const int opener = FindOpener(ext, file);
  const int slot = FindSlot(ext, handle);
  if (opener < 0 || slot < 0 || ext.opener_uses[opener][slot] == 0) return kStatusInvalidParameter;
  --ext.opener_uses[opener][slot];
  DropUses(ext, slot, 1, releases);
  LowerHighWater(ext);
  return kStatusSuccess;
}

NtStatus HoldForSubmission(DeviceExtension& ext, KernelObject file, uint64_t handle, SubmissionHold* hold) {
  TableLock lock(*ext.kernel);
  const int opener = FindOpener(ext, file);
  const int slot = FindSlot(ext, handle);
  if (opener < 0 || slot < 0 || ext.opener_uses[opener][slot] == 0) return kStatusInvalidParameter;
  if (ext.removed[slot]) return kStatusDeviceRemoved;
  // A use like a registration's, with its own reference: DropUses ends both together.
  ext.kernel->ReferenceObject(ext.registered[slot]);
  ++ext.use_counts[slot];
  *hold = SubmissionHold{slot, ext.registered[slot], ext.hub[slot]};
  return kStatusSuccess;
}

bool HeldDeviceRemoved(DeviceExtension& ext, const SubmissionHold& hold) {
  TableLock lock(*ext.kernel);
  return ext.removed[hold.slot];
}

void ReleaseSubmission(DeviceExtension& ext, SubmissionHold& hold) {
  Releases releases(*ext.kernel);
  TableLock lock(*ext.kernel);
  DropUses(ext, hold.slot, 1, releases);
  LowerHighWater(ext);
  hold = SubmissionHold{};
}

bool ReleaseOpener(DeviceExtension& ext, KernelObject file) {
  Releases releases(*ext.kernel);
  TableLock lock(*ext.kernel);
  const int opener = FindOpener(ext, file);
  if (opener < 0) return false;
  for (int slot = 0; slot < kRegisteredSlots; ++slot) {
    const int32_t uses = ext.opener_uses[opener][slot];
    if (uses == 0) continue;
    ext.opener_uses[opener][slot] = 0;
    DropUses(ext, slot, uses, releases);
  }
  LowerHighWater(ext);
  // The slot is free for a new opener only now, with no uses left in it.
  InterlockedCompareExchangePointer(&ext.openers[opener], nullptr, file);
  return true;
}

void ReleaseAllRegistrations(DeviceExtension& ext) {
  Releases releases(*ext.kernel);
  TableLock lock(*ext.kernel);
  for (int slot = 0; slot < kRegisteredSlots; ++slot) {
    if (ext.registered[slot]) DropUses(ext, slot, ext.use_counts[slot], releases);
    for (auto& uses : ext.opener_uses) uses[slot] = 0;
  }
  ext.high_water = -1;
}

void NoteDeviceRemoval(DeviceExtension* ext, uint32_t watch_id) {
  TableLock lock(*ext->kernel);
  for (int slot = 0; slot < kRegisteredSlots; ++slot) {
    if (ext->registered[slot] && ext->watch_ids[slot] == watch_id) {
      ext->removed[slot] = true;
      return;
    }
  }
  // The watch's registration has not reached its slot yet (or has already left it): remember the id
  // for RegisterDevice. The oldest such note gives way.
  ext->early_removals[ext->next_early_removal++ % kEarlyRemovals] = watch_id;
}

void NoteQueryRemove(DeviceExtension* ext, uint32_t watch_id) {
  KernelObject file = nullptr;
  {
    TableLock lock(*ext->kernel);
    for (int slot = 0; slot < kRegisteredSlots; ++slot) {
      if (ext->registered[slot] && ext->watch_ids[slot] == watch_id) {
        // The registration gives the device up: its file reference would make the system refuse the
        // removal. Submissions fail from now on, as after a removal; the caller registers again
        // should the removal be cancelled.
        ext->removed[slot] = true;
        file = ext->kernel->DetachWatchedFile(ext->watches[slot]);
        break;
      }
    }
  }
  if (file) ext->kernel->DereferenceObject(file);
}

}  // namespace fcp::driver
