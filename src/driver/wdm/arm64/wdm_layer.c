/* The WDM layer as one translation unit for the ARM64 image: the mingw-w64 user-mode headers define
 * a few interlocked helpers with external linkage on ARM64, which would collide between files.
 *
 * The image is compiled with the ARM64 definitions (_M_ARM64, _ARM64_). mingw-w64 10's wdm.h picks
 * its processor section by _M_IX86, _M_AMD64 or _M_ARM and stops on any other processor; on the
 * _M_ARM branch it includes armddk.h, which this folder provides as the ARM64 section. So _M_ARM is
 * defined only while the kit headers are read, and none of the driver's own code sees it. */
#if !defined(_M_ARM64) || defined(_M_ARM)
#error "the ARM64 image is built with the ARM64 definitions"
#endif
#define _M_ARM 1
#include <ddk/ntifs.h>
#undef _M_ARM

#include "../device_security.c"
#include "../driver_entry.c"
#include "../kernel_calls.c"
