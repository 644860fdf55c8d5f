// Interlocked operations on shared words of the device extension. These are the compiler's atomic
// intrinsics, the same instructions the kernel's Interlocked* routines compile to, so the core uses
// them directly on every platform.
#pragma once
#include <cstdint>

namespace fcp::driver {

inline int32_t InterlockedAdd32(int32_t* target, int32_t value) {
  return __atomic_add_fetch(target, value, __ATOMIC_SEQ_CST);
}
inline int32_t InterlockedRead32(const int32_t* target) { return __atomic_load_n(target, __ATOMIC_SEQ_CST); }
inline int32_t InterlockedExchange32(int32_t* target, int32_t value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
// Returns the value found; the exchange happened when it equals `comparand`.
inline int32_t InterlockedCompareExchange32(int32_t* target, int32_t exchange, int32_t comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline void* InterlockedCompareExchangePointer(void** target, void* exchange, void* comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline void* InterlockedReadPointer(void* const* target) { return __atomic_load_n(target, __ATOMIC_SEQ_CST); }

}  // namespace fcp::driver
