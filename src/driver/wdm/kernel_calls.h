/* The real kernel calls behind the pass-through driver's kernel port, in C: the mingw-w64 kernel
 * headers compile as C only. wdm_kernel.cpp wraps these in the port class; kernel_calls.c makes them.
 * Plain types only, so both languages read this header alike. */
#pragma once
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t KvxStatus;

/* At load: the driver object (for notifications) and the pool type the running kernel takes. */
void KvxKernelInit(void* driver);

void* KvxAllocate(size_t bytes);
void KvxFree(void* block);

/* The table lock lives in the caller's storage (a KSPIN_LOCK); tokens hold a queued lock handle. */
enum { kKvxLockStorageBytes = 8, kKvxLockTokenBytes = 32 };
void KvxLockInit(void* lock);
void KvxLockAcquire(void* lock, void* token);
void KvxLockRelease(void* token);

KvxStatus KvxReferenceFileByHandle(uint64_t user_handle, void** file);
void KvxReferenceObject(void* object);
void KvxDereferenceObject(void* object);

void* KvxTopDeviceOfFile(void* file);
int KvxIsOnPnpDeviceStack(void* file);
/* `file`: the file object the query is made for, set in the request's stack location (or NULL). */
KvxStatus KvxQueryTargetDevice(void* device, void* file, void** physical_device);
/* Bus relations: *relations is the kernel's list, to pass to KvxReleaseRelations. */
KvxStatus KvxQueryBusRelations(void* device, void** relations, void*** objects, uint32_t* count);
void KvxReleaseRelations(void* relations);

KvxStatus KvxQueryDeviceName(void* physical_device, void* buffer, uint32_t bytes);
KvxStatus KvxQueryClassGuid(void* physical_device, uint16_t* text, uint32_t chars);
KvxStatus KvxQueryHardwareIds(void* physical_device, uint16_t* list, uint32_t bytes, uint32_t* returned);
int KvxCreatorDriverName(void* device, uint16_t* text, uint32_t chars);
KvxStatus KvxDevicesOfDriver(void* device, void** list, void*** objects, uint32_t* count);
void KvxReleaseDevicesOfDriver(void* list, void** objects, uint32_t count);
int KvxIsBusEnumerated(void* device);

/* An internal USB submission. `on_complete(context, status)` runs in the request's completion
 * routine; the request stays allocated until KvxUsbFree (after a wait that saw it complete) or
 * KvxUsbAbandon. */
typedef void (*KvxUsbCompletion)(void* context, KvxStatus status);
KvxStatus KvxUsbStart(void* physical_device, void* urb, KvxUsbCompletion on_complete, void* context,
                         void** request);
int KvxUsbWait(void* request, uint32_t timeout_ms); /* nonzero: completed */
void KvxUsbCancel(void* request);
void KvxUsbFree(void* request);
/* The waiter lets go of a request the stack still holds: `block` (from KvxAllocate) and one reference
 * to `physical_device` are freed with it when it completes (at once if it has completed). */
void KvxUsbAbandon(void* request, void* block, void* physical_device);

/* Target-device-change notification on a file object's device; KvxCoreDeviceRemoved(watch_id)
 * runs when the device has been removed. */
KvxStatus KvxWatchRemoval(void* file, uint32_t watch_id, void** watch);
void KvxEndWatch(void* watch);
/* The watch's file reference, handed to the caller (NULL when handed over before). */
void* KvxDetachWatchedFile(void* watch);
/* Defined by the bridge (wdm_kernel.cpp): a removal has completed; a removal is asked for. */
void KvxCoreDeviceRemoved(uint32_t watch_id);
void KvxCoreDeviceQueryRemove(uint32_t watch_id);

KvxStatus KvxProbeCaller(uint64_t address, size_t bytes);
KvxStatus KvxProbeCallerWrite(uint64_t address, size_t bytes);
KvxStatus KvxCopyFromCaller(void* to, uint64_t from, size_t bytes);
KvxStatus KvxCopyToCaller(uint64_t to, const void* from, size_t bytes);

/* Waits at passive level. */
void KvxSleepMs(uint32_t ms);

/* Milliseconds since boot (the interrupt time), for the driver's deadlines. */
uint64_t KvxMonotonicMs(void);

/* Stops the machine with a bug check: for states the driver cannot continue from. */
void KvxStopSystem(void) __attribute__((noreturn));

KvxStatus KvxWriteRegistryDword(const uint16_t* key, const uint16_t* value, uint32_t data);

#ifdef __cplusplus
}
#endif
