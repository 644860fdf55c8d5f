// The kernel port over the real kernel (kernel_calls.c), and the bridge the C dispatch routines call.
#pragma once
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Storage the driver's device extension must give the core (extension plus port).
size_t kvx_core_storage_bytes(void);

void kvx_core_load(void* storage, void* driver_object);
void kvx_core_unload(void* storage);
int32_t kvx_core_create(void* storage, void* file);
int32_t kvx_core_close(void* storage, void* file);
int32_t kvx_core_device_control(void* storage, void* file, uint32_t code, void* buffer, uint32_t input_length,
                                 uint32_t output_length, uint32_t* information);

#ifdef __cplusplus
}
#endif
