// One internal USB submission from start to end, with a bounded wait and a race-free cancel.
#pragma once
#include <cstdint>

#include "driver/kernel_port.h"

namespace fcp::driver {

enum UsbRequestState : int32_t { kRequestPending = 0, kRequestCompleted = 1, kRequestCancelling = 2 };

// Sends the request block `urb` (kernel memory) to `physical_device` and waits at most `wait_ms`.
// When the time runs out the request is cancelled and waited for, and the result is kStatusTimeout.
// Otherwise the result is the request's own status.
NtStatus SendUsbRequestAndWait(KernelPort& kernel, KernelObject physical_device, void* urb, uint32_t wait_ms);

}  // namespace fcp::driver
