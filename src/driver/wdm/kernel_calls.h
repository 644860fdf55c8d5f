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
void kvx_kernel_init(void* driver);

void* kvx_allocate(size_t bytes);
void kvx_free(void* block);

/* The table lock lives in the caller's storage (a KSPIN_LOCK); tokens hold a queued lock handle. */
enum { kvx_lock_storage_bytes = 8, kvx_lock_token_bytes = 32 };
void kvx_lock_init(void* lock);
void kvx_lock_acquire(void* lock, void* token);
void kvx_lock_release(void* token);

KvxStatus kvx_reference_file_by_handle(uint64_t user_handle, void** file);
void kvx_reference_object(void* object);
void kvx_dereference_object(void* object);

void* kvx_top_device_of_file(void* file);
KvxStatus kvx_query_target_device(void* device, void** physical_device);
/* Bus relations: *relations is the kernel's list, to pass to kvx_release_relations. */
KvxStatus kvx_query_bus_relations(void* device, void** relations, void*** objects, uint32_t* count);
void kvx_release_relations(void* relations);

KvxStatus kvx_query_device_name(void* physical_device, void* buffer, uint32_t bytes);
KvxStatus kvx_query_class_guid(void* physical_device, uint16_t* text, uint32_t chars);
KvxStatus kvx_query_hardware_ids(void* physical_device, uint16_t* list, uint32_t bytes, uint32_t* returned);
int kvx_creator_driver_name(void* device, uint16_t* text, uint32_t chars);
KvxStatus kvx_devices_of_driver(void* device, void** list, void*** objects, uint32_t* count);
void kvx_release_devices_of_driver(void* list, void** objects, uint32_t count);
int kvx_is_bus_enumerated(void* device);

/* An internal USB submission. `on_complete(context, status)` runs in the request's completion
 * routine; the request stays allocated until kvx_usb_free. */
typedef void (*KvxUsbCompletion)(void* context, KvxStatus status);
KvxStatus kvx_usb_start(void* physical_device, void* urb, KvxUsbCompletion on_complete, void* context,
                         void** request);
int kvx_usb_wait(void* request, uint32_t timeout_ms); /* 0xFFFFFFFF: no limit; nonzero: completed */
void kvx_usb_cancel(void* request);
void kvx_usb_free(void* request);

/* Target-device-change notification on a file object's device; kvx_core_device_removed(watch_id)
 * runs when the device has been removed. */
KvxStatus kvx_watch_removal(void* file, uint32_t watch_id, void** watch);
void kvx_end_watch(void* watch);
void kvx_core_device_removed(uint32_t watch_id); /* defined by the bridge (wdm_kernel.cpp) */

KvxStatus kvx_probe_caller(uint64_t address, size_t bytes);
KvxStatus kvx_probe_caller_write(uint64_t address, size_t bytes);
KvxStatus kvx_copy_from_caller(void* to, uint64_t from, size_t bytes);
KvxStatus kvx_copy_to_caller(uint64_t to, const void* from, size_t bytes);

/* Stops the machine with a bug check: for states the driver cannot continue from. */
void kvx_stop_system(void) __attribute__((noreturn));

KvxStatus kvx_write_registry_dword(const uint16_t* key, const uint16_t* value, uint32_t data);

#ifdef __cplusplus
}
#endif
