/* The WDM layer as one translation unit for the ARM64 image: the mingw-w64 user-mode headers define
 * a few interlocked helpers with external linkage on ARM64, which would collide between files. */
#include "../device_security.c"
#include "../driver_entry.c"
#include "../kernel_calls.c"
