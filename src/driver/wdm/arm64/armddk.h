/* ARM64 section of the kernel headers, which mingw-w64 10 lacks: its wdm.h knows x86, x64 and
 * 32-bit ARM only, and includes this file on its ARM branch (wdm_layer.c explains how it gets
 * there). It declares only what the driver uses; the structures themselves are the same for every
 * 64-bit Windows kernel. */
#pragma once

#if !defined(__aarch64__) || !defined(_M_ARM64)
#error "for the ARM64 driver image only"
#endif

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

extern NTKERNELAPI ULONG_PTR MmUserProbeAddress;
#define MM_USER_PROBE_ADDRESS MmUserProbeAddress

#ifndef PAGE_SIZE
#define PAGE_SIZE 0x1000
#endif
