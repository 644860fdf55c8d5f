// Handles of the driver's own device: the opener slots, the open count and its mirror in the
// service key.
#include "driver/interlocked.h"
#include "driver/kvxupx_driver.h"

namespace fcp::driver {
namespace {

// Writes the open count to "RefCount" until the value written is the count still in force, so
// writes of racing opens and closes cannot leave an older count behind.
void PublishOpenCount(DeviceExtension& ext) {
  for (;;) {
    const int32_t count = InterlockedRead32(&ext.open_count);
    ext.kernel->WriteRegistryDword(kServiceKey, kRefCountValue, static_cast<uint32_t>(count));
    if (InterlockedRead32(&ext.open_count) == count) return;
  }
}

}  // namespace

NtStatus CreateHandle(DeviceExtension& ext, KernelObject file) {
  for (KernelObject& slot : ext.openers) {
    if (InterlockedCompareExchangePointer(&slot, file, nullptr) == nullptr) {
      InterlockedAdd32(&ext.open_count, 1);
      PublishOpenCount(ext);
      return kStatusSuccess;
    }
  }
  return kStatusUnsuccessful;
}

NtStatus CloseHandle(DeviceExtension& ext, KernelObject file) {
  if (!file) return kStatusSuccess;
  for (KernelObject& slot : ext.openers) {
    if (InterlockedCompareExchangePointer(&slot, nullptr, file) == file) {
      InterlockedAdd32(&ext.open_count, -1);
      PublishOpenCount(ext);
      break;
    }
  }
  return kStatusSuccess;
}

void LoadDevice(DeviceExtension& ext, KernelPort& kernel) {
  ext = DeviceExtension{};
  ext.kernel = &kernel;
  kernel.WriteRegistryDword(kServiceKey, kRefCountValue, 0);
}

void UnloadDevice(DeviceExtension& ext) {
  for (int i = 0; i < kRegisteredSlots; ++i) {
    if (!ext.registered[i]) continue;
    for (int32_t n = ext.use_counts[i]; n > 0; --n) ext.kernel->DereferenceObject(ext.registered[i]);
    ext.registered[i] = nullptr;
    ext.use_counts[i] = 0;
    ext.handles[i] = 0;
  }
  ext.high_water = -1;
}

}  // namespace fcp::driver
