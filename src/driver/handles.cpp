// Handles of the driver's own device: the opener slots, the open count and its mirror in the
// service key.
#include "driver/interlocked.h"
#include "driver/kvxupx_driver.h"
#include "driver/registered_table.h"

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
  if (!file) return kStatusInvalidParameter;
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
  // The registrations made through the handle go with it, also when its process ended without
  // closing them.
  if (file && ReleaseOpener(ext, file)) {
    InterlockedAdd32(&ext.open_count, -1);
    PublishOpenCount(ext);
  }
  return kStatusSuccess;
}

void LoadDevice(DeviceExtension& ext, KernelPort& kernel) {
  ext = DeviceExtension{};
  ext.kernel = &kernel;
  kernel.WriteRegistryDword(kServiceKey, kRefCountValue, 0);
}

void UnloadDevice(DeviceExtension& ext) { ReleaseAllRegistrations(ext); }

}  // namespace fcp::driver
