#include "driver/usb_request.h"

#include "driver/interlocked.h"

namespace fcp::driver {

void CompleteUsbRequest(UsbCompletion* completion, NtStatus status) {
  completion->status = status;
  InterlockedExchange32(&completion->state, kRequestCompleted);
}

NtStatus SendUsbRequestAndWait(KernelPort& kernel, KernelObject physical_device, void* urb, uint32_t wait_ms) {
  UsbCompletion completion;
  UsbRequest* request = nullptr;
  const NtStatus started = kernel.StartUsbRequest(physical_device, urb, &completion, &request);
  if (!IsSuccess(started)) return started;

  NtStatus result;
  if (kernel.WaitUsbRequest(request, wait_ms)) {
    result = completion.status;
  } else {
    // Only a request that has not completed yet is cancelled; the port keeps the request alive
    // until FreeUsbRequest, so completion and cancel cannot race over a freed request.
    if (InterlockedCompareExchange32(&completion.state, kRequestCancelling, kRequestPending) == kRequestPending) {
      kernel.CancelUsbRequest(request);
    }
    kernel.WaitUsbRequest(request, kWaitForever);
    result = kStatusTimeout;
  }
  kernel.FreeUsbRequest(request);
  return result;
}

}  // namespace fcp::driver
