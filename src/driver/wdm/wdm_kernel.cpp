#include "wdm_kernel.h"

#include <new>

#include "driver/kvxupx_driver.h"
#include "kernel_calls.h"

namespace fcp::driver {
namespace {

void ReportCompletion(void* context, KvxStatus status) {
  CompleteUsbRequest(static_cast<UsbCompletion*>(context), status);
}

class WdmKernel final : public KernelPort {
 public:
  WdmKernel() { KvxLockInit(lock_); }

  void* Allocate(size_t bytes) override { return KvxAllocate(bytes); }
  void Free(void* block) override { KvxFree(block); }
  void AcquireTableLock(LockToken& token) override { KvxLockAcquire(lock_, token.storage); }
  void ReleaseTableLock(LockToken& token) override { KvxLockRelease(token.storage); }
  NtStatus ReferenceFileByHandle(uint64_t user_handle, KernelObject* file) override {
    return KvxReferenceFileByHandle(user_handle, file);
  }
  void ReferenceObject(KernelObject object) override { KvxReferenceObject(object); }
  void DereferenceObject(KernelObject object) override { KvxDereferenceObject(object); }
  KernelObject TopDeviceOfFile(KernelObject file) override { return KvxTopDeviceOfFile(file); }
  bool IsOnPnpDeviceStack(KernelObject file) override { return KvxIsOnPnpDeviceStack(file) != 0; }
  NtStatus QueryTargetDevice(KernelObject device, KernelObject file, KernelObject* physical_device) override {
    return KvxQueryTargetDevice(device, file, physical_device);
  }
  NtStatus QueryBusRelations(KernelObject device, RelationList* relations) override {
    return KvxQueryBusRelations(device, &relations->opaque, &relations->objects, &relations->count);
  }
  void ReleaseRelations(RelationList* relations) override {
    KvxReleaseRelations(relations->opaque);
    *relations = RelationList{};
  }
  NtStatus QueryDeviceName(KernelObject physical_device, void* buffer, uint32_t bytes) override {
    return KvxQueryDeviceName(physical_device, buffer, bytes);
  }
  NtStatus QueryClassGuid(KernelObject physical_device, char16_t* text, uint32_t chars) override {
    return KvxQueryClassGuid(physical_device, reinterpret_cast<uint16_t*>(text), chars);
  }
  NtStatus QueryHardwareIds(KernelObject physical_device, char16_t* list, uint32_t bytes,
                            uint32_t* returned_bytes) override {
    return KvxQueryHardwareIds(physical_device, reinterpret_cast<uint16_t*>(list), bytes, returned_bytes);
  }
  bool CreatorDriverName(KernelObject device, char16_t* text, uint32_t chars) override {
    return KvxCreatorDriverName(device, reinterpret_cast<uint16_t*>(text), chars) != 0;
  }
  NtStatus DevicesOfDriver(KernelObject device, RelationList* devices) override {
    return KvxDevicesOfDriver(device, &devices->opaque, &devices->objects, &devices->count);
  }
  void ReleaseDevicesOfDriver(RelationList* devices) override {
    KvxReleaseDevicesOfDriver(devices->opaque, devices->objects, devices->count);
    *devices = RelationList{};
  }
  // The driver has one device, so the bridge knows the extension a removal belongs to.
  NtStatus WatchRemoval(KernelObject file, DeviceExtension*, uint32_t watch_id, RemovalWatch** watch) override {
    void* made = nullptr;
    const NtStatus status = KvxWatchRemoval(file, watch_id, &made);
    *watch = static_cast<RemovalWatch*>(made);
    return status;
  }
  void EndRemovalWatch(RemovalWatch* watch) override { KvxEndWatch(watch); }
  KernelObject DetachWatchedFile(RemovalWatch* watch) override { return KvxDetachWatchedFile(watch); }
  bool IsBusEnumerated(KernelObject device) override { return KvxIsBusEnumerated(device) != 0; }
  NtStatus StartUsbRequest(KernelObject physical_device, void* urb, UsbCompletion* completion,
                           UsbRequest** request) override {
    void* started = nullptr;
    const NtStatus status = KvxUsbStart(physical_device, urb, ReportCompletion, completion, &started);
    *request = static_cast<UsbRequest*>(started);
    return status;
  }
  bool WaitUsbRequest(UsbRequest* request, uint32_t timeout_ms) override { return KvxUsbWait(request, timeout_ms) != 0; }
  void CancelUsbRequest(UsbRequest* request) override { KvxUsbCancel(request); }
  void FreeUsbRequest(UsbRequest* request) override { KvxUsbFree(request); }
  void AbandonUsbRequest(UsbRequest* request, void* block, KernelObject physical_device) override {
    KvxUsbAbandon(request, block, physical_device);
  }
  NtStatus ProbeCallerRead(uint64_t address, size_t bytes) override { return KvxProbeCaller(address, bytes); }
  NtStatus ProbeCallerWrite(uint64_t address, size_t bytes) override { return KvxProbeCallerWrite(address, bytes); }
  NtStatus CopyFromCaller(void* to, uint64_t from, size_t bytes) override {
    return KvxCopyFromCaller(to, from, bytes);
  }
  NtStatus CopyToCaller(uint64_t to, const void* from, size_t bytes) override {
    return KvxCopyToCaller(to, from, bytes);
  }
  uint64_t MonotonicMs() override { return KvxMonotonicMs(); }
  NtStatus WriteRegistryDword(const char16_t* key, const char16_t* value, uint32_t data) override {
    return KvxWriteRegistryDword(reinterpret_cast<const uint16_t*>(key), reinterpret_cast<const uint16_t*>(value),
                                    data);
  }

 private:
  alignas(8) unsigned char lock_[kKvxLockStorageBytes];
};

struct CoreStorage {
  DeviceExtension extension;
  WdmKernel kernel;
};

CoreStorage& Core(void* storage) { return *static_cast<CoreStorage*>(storage); }

// The one device's core, for removal notifications (their context is a watch id, not a pointer),
// and the number of notifications running in it: unload clears the first, then waits for the second
// to drop to 0 before the watches end and the extension goes.
void* g_loaded_storage = nullptr;
int32_t g_notes_running = 0;

// Runs `note` on the loaded core, unless unload has begun.
template <class Note>
void NoteOnLoadedCore(Note note) {
  __atomic_add_fetch(&g_notes_running, 1, __ATOMIC_SEQ_CST);
  if (void* storage = __atomic_load_n(&g_loaded_storage, __ATOMIC_SEQ_CST)) note(&Core(storage).extension);
  __atomic_sub_fetch(&g_notes_running, 1, __ATOMIC_SEQ_CST);
}

}  // namespace
}  // namespace fcp::driver

using fcp::driver::Core;
using fcp::driver::CoreStorage;

extern "C" {

size_t KvxCoreStorageBytes(void) { return sizeof(CoreStorage); }

void KvxCoreLoad(void* storage, void* driver) {
  KvxKernelInit(driver);
  CoreStorage* core = new (storage) CoreStorage;
  fcp::driver::LoadDevice(core->extension, core->kernel);
  __atomic_store_n(&fcp::driver::g_loaded_storage, storage, __ATOMIC_SEQ_CST);
}

// Every watch ends here, so no removal can arrive for the core afterwards. A notification already
// running is waited for: the extension goes right after. That wait is bounded by the note itself,
// which waits for nothing (it marks a slot under the table lock, or drops a file reference). What
// the kernel cannot promise without the Ex unregistration (see README) is a callback that has
// entered the image but not yet counted itself. Requests left to a lower driver need no wait here:
// their completion routines keep the image loaded themselves (kernel_calls.c, SetCompletion).
void KvxCoreUnload(void* storage) {
  __atomic_store_n(&fcp::driver::g_loaded_storage, nullptr, __ATOMIC_SEQ_CST);
  while (__atomic_load_n(&fcp::driver::g_notes_running, __ATOMIC_SEQ_CST) != 0) KvxSleepMs(1);
  fcp::driver::UnloadDevice(Core(storage).extension);
}

void KvxCoreDeviceRemoved(uint32_t watch_id) {
  fcp::driver::NoteOnLoadedCore(
      [watch_id](fcp::driver::DeviceExtension* ext) { fcp::driver::NoteDeviceRemoval(ext, watch_id); });
}

void KvxCoreDeviceQueryRemove(uint32_t watch_id) {
  fcp::driver::NoteOnLoadedCore(
      [watch_id](fcp::driver::DeviceExtension* ext) { fcp::driver::NoteQueryRemove(ext, watch_id); });
}

int32_t KvxCoreCreate(void* storage, void* file) { return fcp::driver::CreateHandle(Core(storage).extension, file); }

int32_t KvxCoreClose(void* storage, void* file) { return fcp::driver::CloseHandle(Core(storage).extension, file); }

int32_t KvxCoreDeviceControl(void* storage, void* file, uint32_t code, void* buffer, uint32_t input_length,
                                 uint32_t output_length, uint32_t* information) {
  return fcp::driver::DeviceControl(Core(storage).extension, file, code, buffer, input_length, output_length,
                                    information);
}

// Called only through a damaged vtable; the image has no C++ runtime to report it.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C++ ABI names this hook
void __cxa_pure_virtual(void) { KvxStopSystem(); }

}  // extern "C"
