// The kernel as the pass-through driver's portable core sees it. The WDM layer implements it over
// the real kernel calls; the simulated kernel in sim/kernel implements it over virtual USB devices.
// Implementations translate only: every decision of the driver is taken in the core.
#pragma once
#include <cstddef>
#include <cstdint>

#include "driver/ntstatus.h"

namespace fcp::driver {

// A device object or a file object, opaque to the core.
using KernelObject = void*;

// A list of referenced device objects (a bus-relations answer, or a snapshot of a driver's devices),
// released together with the call named where it is made.
struct RelationList {
  void* opaque = nullptr;
  KernelObject* objects = nullptr;
  uint32_t count = 0;
};

// Storage for one acquisition of the table lock (an in-stack queued lock handle on Windows).
struct LockToken {
  alignas(8) unsigned char storage[32];
};

// Completion record of one internal USB submission. The port reports the end of the request through
// CompleteUsbRequest (defined by the core), then wakes the waiter; it keeps the request itself alive
// until FreeUsbRequest or AbandonUsbRequest, so a cancel can never reach a request that is already
// gone.
struct UsbCompletion {
  int32_t state = 0;  // UsbRequestState, changed with interlocked operations only
  NtStatus status = kStatusPending;
};
void CompleteUsbRequest(UsbCompletion* completion, NtStatus status);

struct UsbRequest;     // the port's own record of a submitted request
struct RemovalWatch;   // the port's record of a removal notification on a device

struct DeviceExtension;
// The port reports the removal (orderly or surprise) of a watched device here, at passive level. It
// may still call this for a watch shortly after EndRemovalWatch; `watch_id` tells the core which.
void NoteDeviceRemoval(DeviceExtension* ext, uint32_t watch_id);
// The port reports here, at passive level, that the system asks whether a watched device may be
// removed (an orderly disable or removal). Same rules for `watch_id`.
void NoteQueryRemove(DeviceExtension* ext, uint32_t watch_id);

class KernelPort {
 public:
  // Nonpaged memory.
  virtual void* Allocate(size_t bytes) = 0;
  virtual void Free(void* block) = 0;

  // The lock guarding the registered-device table (raises to dispatch level on Windows).
  virtual void AcquireTableLock(LockToken& token) = 0;
  virtual void ReleaseTableLock(LockToken& token) = 0;

  // Object references.
  virtual NtStatus ReferenceFileByHandle(uint64_t user_handle, KernelObject* file) = 0;
  virtual void ReferenceObject(KernelObject object) = 0;
  virtual void DereferenceObject(KernelObject object) = 0;

  // Plug and play. Answers with device objects are referenced.
  virtual KernelObject TopDeviceOfFile(KernelObject file) = 0;
  // Whether the file object is open on a device of a plug-and-play device stack (not a file of a
  // file system, a pipe, a socket or a device of a legacy driver).
  virtual bool IsOnPnpDeviceStack(KernelObject file) = 0;
  // The target-device relation of `device`, asked with `file` in the request (null: asked of a
  // device object, not on behalf of a file).
  virtual NtStatus QueryTargetDevice(KernelObject device, KernelObject file, KernelObject* physical_device) = 0;
  virtual NtStatus QueryBusRelations(KernelObject device, RelationList* relations) = 0;
  virtual void ReleaseRelations(RelationList* relations) = 0;

  // Facts about device objects.
  virtual NtStatus QueryDeviceName(KernelObject physical_device, void* buffer, uint32_t bytes) = 0;
  // The setup class GUID as text ("{...}"), zero-terminated.
  virtual NtStatus QueryClassGuid(KernelObject physical_device, char16_t* text, uint32_t chars) = 0;
  // The hardware IDs as a list of zero-terminated strings ending with an empty one.
  virtual NtStatus QueryHardwareIds(KernelObject physical_device, char16_t* list, uint32_t bytes,
                                    uint32_t* returned_bytes) = 0;
  // Name of the driver that created the device object ("\Driver\xyz"), zero-terminated.
  virtual bool CreatorDriverName(KernelObject device, char16_t* text, uint32_t chars) = 0;
  // Every device object of the driver that created `device`, in the driver's own order, each
  // referenced: a snapshot that stays valid while that driver adds and deletes devices. Released
  // with ReleaseDevicesOfDriver.
  virtual NtStatus DevicesOfDriver(KernelObject device, RelationList* devices) = 0;
  virtual void ReleaseDevicesOfDriver(RelationList* devices) = 0;
  virtual bool IsBusEnumerated(KernelObject device) = 0;

  // Calls NoteDeviceRemoval(ext, watch_id) when the device behind `file` (an interface's file
  // object) goes away. The watch holds its own reference to the file until EndRemovalWatch.
  virtual NtStatus WatchRemoval(KernelObject file, DeviceExtension* ext, uint32_t watch_id,
                                RemovalWatch** watch) = 0;
  virtual void EndRemovalWatch(RemovalWatch* watch) = 0;
  // Hands the watch's reference to the file over to the caller (null when it was handed over
  // before); the watch goes on reporting removal. Callable under the table lock.
  virtual KernelObject DetachWatchedFile(RemovalWatch* watch) = 0;

  // Internal USB submission of a request block in kernel memory to a physical device object.
  virtual NtStatus StartUsbRequest(KernelObject physical_device, void* urb, UsbCompletion* completion,
                                   UsbRequest** request) = 0;
  // True when the request completed within timeout_ms. Every wait has a bound.
  virtual bool WaitUsbRequest(UsbRequest* request, uint32_t timeout_ms) = 0;
  virtual void CancelUsbRequest(UsbRequest* request) = 0;
  // Ends a completed request.
  virtual void FreeUsbRequest(UsbRequest* request) = 0;
  // The caller stops waiting for a request the stack still holds (it ignored the cancel). The port
  // takes over `block` (memory from Allocate holding the request block, the completion record and
  // the transfer buffer) and one reference to `physical_device`, and frees both with the request
  // once the stack completes it, at once when it has completed meanwhile. The caller touches none of
  // them again. The port keeps its own code loaded until that completion has run.
  virtual void AbandonUsbRequest(UsbRequest* request, void* block, KernelObject physical_device) = 0;

  // The calling process's memory. A fault is answered with its status, never raised. A write probe
  // proves the range writable now (it may rewrite the bytes it finds there with themselves). The USB
  // stack never works on caller memory: a transfer buffer is kernel memory of the request's own.
  virtual NtStatus ProbeCallerRead(uint64_t address, size_t bytes) = 0;
  virtual NtStatus ProbeCallerWrite(uint64_t address, size_t bytes) = 0;
  virtual NtStatus CopyFromCaller(void* to, uint64_t from, size_t bytes) = 0;
  virtual NtStatus CopyToCaller(uint64_t to, const void* from, size_t bytes) = 0;

  // A clock that only moves forward, in milliseconds (its start is arbitrary).
  virtual uint64_t MonotonicMs() = 0;

  // Registry: open or create the key, set a DWORD value, flush, close.
  virtual NtStatus WriteRegistryDword(const char16_t* key, const char16_t* value, uint32_t data) = 0;

 protected:
  ~KernelPort() = default;
};

}  // namespace fcp::driver
