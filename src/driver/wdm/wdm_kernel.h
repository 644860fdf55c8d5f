// The kernel port over the real kernel (kernel_calls.c), and the bridge the C dispatch routines call.
#pragma once
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Storage the driver's device extension must give the core (extension plus port).
size_t KvxCoreStorageBytes(void);

void KvxCoreLoad(void* storage, void* driver_object);
void KvxCoreUnload(void* storage);
int32_t KvxCoreCreate(void* storage, void* file);
int32_t KvxCoreClose(void* storage, void* file);
int32_t KvxCoreDeviceControl(void* storage, void* file, uint32_t code, void* buffer, uint32_t input_length,
                                 uint32_t output_length, uint32_t* information);

#ifdef __cplusplus
}
#endif
