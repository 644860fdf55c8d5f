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

inline constexpr uint32_t kWaitForever = 0xFFFFFFFF;

// A bus-relations answer: referenced device objects, released together with ReleaseRelations.
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
// until FreeUsbRequest, so a cancel can never reach a request that is already gone.
struct UsbCompletion {
  int32_t state = 0;  // UsbRequestState, changed with interlocked operations only
  NtStatus status = kStatusPending;
};
void CompleteUsbRequest(UsbCompletion* completion, NtStatus status);

struct UsbRequest;     // the port's own record of a submitted request
struct CallerMapping;  // the port's record of a locked and mapped caller buffer

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
  virtual NtStatus QueryTargetDevice(KernelObject device, KernelObject* physical_device) = 0;
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
  // The next device object in the creating driver's list, or null.
  virtual KernelObject NextDeviceOfDriver(KernelObject device) = 0;
  virtual bool IsBusEnumerated(KernelObject device) = 0;

  // Internal USB submission of a request block in kernel memory to a physical device object.
  virtual NtStatus StartUsbRequest(KernelObject physical_device, void* urb, UsbCompletion* completion,
                                   UsbRequest** request) = 0;
  // True when the request completed within timeout_ms (kWaitForever: no limit).
  virtual bool WaitUsbRequest(UsbRequest* request, uint32_t timeout_ms) = 0;
  virtual void CancelUsbRequest(UsbRequest* request) = 0;
  virtual void FreeUsbRequest(UsbRequest* request) = 0;

  // The calling process's memory. A fault is answered with its status, never raised.
  virtual NtStatus ProbeCallerRead(uint64_t address, size_t bytes) = 0;
  virtual NtStatus ProbeCallerWrite(uint64_t address, size_t bytes) = 0;
  virtual NtStatus CopyFromCaller(void* to, uint64_t from, size_t bytes) = 0;
  virtual NtStatus CopyToCaller(uint64_t to, const void* from, size_t bytes) = 0;
  // Locks a caller buffer and gives a system address for it; UnlockCaller ends that (and reports a
  // fault met while doing so).
  virtual NtStatus LockAndMapCaller(uint64_t address, uint32_t bytes, CallerMapping** mapping,
                                    void** system_address) = 0;
  virtual NtStatus UnlockCaller(CallerMapping* mapping) = 0;

  // Registry: open or create the key, set a DWORD value, flush, close.
  virtual NtStatus WriteRegistryDword(const char16_t* key, const char16_t* value, uint32_t data) = 0;

 protected:
  ~KernelPort() = default;
};

}  // namespace fcp::driver
