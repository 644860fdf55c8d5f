#include "wdm_kernel.h"

#include <new>

#include "driver/kvxupx_driver.h"
#include "kernel_calls.h"

namespace fcp::driver {
namespace {

// A caller buffer the USB stack works on: the kernel never maps the caller's pages here (that needs
// structured exception handling around the probe, which this compiler lacks); it lends the stack a
// nonpaged copy and copies it back afterwards, both copies fault-safe.
struct BounceBuffer {
  uint64_t caller_address;
  uint32_t bytes;
  uint8_t data[1];
};

void ReportCompletion(void* context, KvxStatus status) {
  CompleteUsbRequest(static_cast<UsbCompletion*>(context), status);
}

class WdmKernel final : public KernelPort {
 public:
  WdmKernel() { kvx_lock_init(lock_); }

  void* Allocate(size_t bytes) override { return kvx_allocate(bytes); }
  void Free(void* block) override { kvx_free(block); }
  void AcquireTableLock(LockToken& token) override { kvx_lock_acquire(lock_, token.storage); }
  void ReleaseTableLock(LockToken& token) override { kvx_lock_release(token.storage); }
  NtStatus ReferenceFileByHandle(uint64_t user_handle, KernelObject* file) override {
    return kvx_reference_file_by_handle(user_handle, file);
  }
  void ReferenceObject(KernelObject object) override { kvx_reference_object(object); }
  void DereferenceObject(KernelObject object) override { kvx_dereference_object(object); }
  KernelObject TopDeviceOfFile(KernelObject file) override { return kvx_top_device_of_file(file); }
  NtStatus QueryTargetDevice(KernelObject device, KernelObject* physical_device) override {
    return kvx_query_target_device(device, physical_device);
  }
  NtStatus QueryBusRelations(KernelObject device, RelationList* relations) override {
    return kvx_query_bus_relations(device, &relations->opaque, &relations->objects, &relations->count);
  }
  void ReleaseRelations(RelationList* relations) override {
    kvx_release_relations(relations->opaque);
    *relations = RelationList{};
  }
  NtStatus QueryDeviceName(KernelObject physical_device, void* buffer, uint32_t bytes) override {
    return kvx_query_device_name(physical_device, buffer, bytes);
  }
  NtStatus QueryClassGuid(KernelObject physical_device, char16_t* text, uint32_t chars) override {
    return kvx_query_class_guid(physical_device, reinterpret_cast<uint16_t*>(text), chars);
  }
  NtStatus QueryHardwareIds(KernelObject physical_device, char16_t* list, uint32_t bytes,
                            uint32_t* returned_bytes) override {
    return kvx_query_hardware_ids(physical_device, reinterpret_cast<uint16_t*>(list), bytes, returned_bytes);
  }
  bool CreatorDriverName(KernelObject device, char16_t* text, uint32_t chars) override {
    return kvx_creator_driver_name(device, reinterpret_cast<uint16_t*>(text), chars) != 0;
  }
  NtStatus DevicesOfDriver(KernelObject device, RelationList* devices) override {
    return kvx_devices_of_driver(device, &devices->opaque, &devices->objects, &devices->count);
  }
  void ReleaseDevicesOfDriver(RelationList* devices) override {
    kvx_release_devices_of_driver(devices->opaque, devices->objects, devices->count);
    *devices = RelationList{};
  }
  // The driver has one device, so the bridge knows the extension a removal belongs to.
  NtStatus WatchRemoval(KernelObject file, DeviceExtension*, uint32_t watch_id, RemovalWatch** watch) override {
    void* made = nullptr;
    const NtStatus status = kvx_watch_removal(file, watch_id, &made);
    *watch = static_cast<RemovalWatch*>(made);
    return status;
  }
  void EndRemovalWatch(RemovalWatch* watch) override { kvx_end_watch(watch); }
  bool IsBusEnumerated(KernelObject device) override { return kvx_is_bus_enumerated(device) != 0; }
  NtStatus StartUsbRequest(KernelObject physical_device, void* urb, UsbCompletion* completion,
                           UsbRequest** request) override {
    void* started = nullptr;
    const NtStatus status = kvx_usb_start(physical_device, urb, ReportCompletion, completion, &started);
    *request = static_cast<UsbRequest*>(started);
    return status;
  }
  bool WaitUsbRequest(UsbRequest* request, uint32_t timeout_ms) override { return kvx_usb_wait(request, timeout_ms) != 0; }
  void CancelUsbRequest(UsbRequest* request) override { kvx_usb_cancel(request); }
  void FreeUsbRequest(UsbRequest* request) override { kvx_usb_free(request); }
  NtStatus ProbeCallerRead(uint64_t address, size_t bytes) override { return kvx_probe_caller(address, bytes); }
  NtStatus ProbeCallerWrite(uint64_t address, size_t bytes) override { return kvx_probe_caller_write(address, bytes); }
  NtStatus CopyFromCaller(void* to, uint64_t from, size_t bytes) override {
    return kvx_copy_from_caller(to, from, bytes);
  }
  NtStatus CopyToCaller(uint64_t to, const void* from, size_t bytes) override {
    return kvx_copy_to_caller(to, from, bytes);
  }
  NtStatus LockAndMapCaller(uint64_t address, uint32_t bytes, CallerMapping** mapping,
                            void** system_address) override {
    auto* bounce = static_cast<BounceBuffer*>(kvx_allocate(offsetof(BounceBuffer, data) + bytes));
    if (!bounce) return kStatusInsufficientResources;
    bounce->caller_address = address;
    bounce->bytes = bytes;
    const NtStatus status = kvx_copy_from_caller(bounce->data, address, bytes);
    if (!IsSuccess(status)) {
      kvx_free(bounce);
      return status;
    }
    *mapping = reinterpret_cast<CallerMapping*>(bounce);
    *system_address = bounce->data;
    return kStatusSuccess;
  }
  NtStatus UnlockCaller(CallerMapping* mapping, uint32_t written_bytes) override {
    auto* bounce = reinterpret_cast<BounceBuffer*>(mapping);
    const uint32_t bytes = written_bytes < bounce->bytes ? written_bytes : bounce->bytes;
    const NtStatus status = kvx_copy_to_caller(bounce->caller_address, bounce->data, bytes);
    kvx_free(bounce);
    return status;
  }
  NtStatus WriteRegistryDword(const char16_t* key, const char16_t* value, uint32_t data) override {
    return kvx_write_registry_dword(reinterpret_cast<const uint16_t*>(key), reinterpret_cast<const uint16_t*>(value),
                                    data);
  }

 private:
  alignas(8) unsigned char lock_[kvx_lock_storage_bytes];
};

struct CoreStorage {
  DeviceExtension extension;
  WdmKernel kernel;
};

CoreStorage& Core(void* storage) { return *static_cast<CoreStorage*>(storage); }

// The one device's core, for removal notifications (their context is a watch id, not a pointer).
void* loaded_storage = nullptr;

}  // namespace
}  // namespace fcp::driver

using fcp::driver::Core;
using fcp::driver::CoreStorage;

extern "C" {

size_t kvx_core_storage_bytes(void) { return sizeof(CoreStorage); }

void kvx_core_load(void* storage, void* driver) {
  kvx_kernel_init(driver);
  CoreStorage* core = new (storage) CoreStorage;
  fcp::driver::LoadDevice(core->extension, core->kernel);
  fcp::driver::loaded_storage = storage;
}

// Every watch ends here, so no removal can arrive for the core afterwards.
void kvx_core_unload(void* storage) {
  fcp::driver::UnloadDevice(Core(storage).extension);
  fcp::driver::loaded_storage = nullptr;
}

void kvx_core_device_removed(uint32_t watch_id) {
  if (fcp::driver::loaded_storage) {
    fcp::driver::NoteDeviceRemoval(&Core(fcp::driver::loaded_storage).extension, watch_id);
  }
}

int32_t kvx_core_create(void* storage, void* file) { return fcp::driver::CreateHandle(Core(storage).extension, file); }

int32_t kvx_core_close(void* storage, void* file) { return fcp::driver::CloseHandle(Core(storage).extension, file); }

int32_t kvx_core_device_control(void* storage, void* file, uint32_t code, void* buffer, uint32_t input_length,
                                 uint32_t output_length, uint32_t* information) {
  return fcp::driver::DeviceControl(Core(storage).extension, file, code, buffer, input_length, output_length,
                                    information);
}

// Called only through a damaged vtable; the image has no C++ runtime to report it.
void __cxa_pure_virtual(void) { kvx_stop_system(); }

}  // extern "C"
