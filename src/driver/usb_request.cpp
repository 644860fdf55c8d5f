#include "driver/usb_request.h"

#include <new>

#include "driver/interlocked.h"

namespace fcp::driver {

void CompleteUsbRequest(UsbCompletion* completion, NtStatus status) {
  completion->status = status;
  InterlockedExchange32(&completion->state, kRequestCompleted);
}

UsbTransfer* NewUsbTransfer(KernelPort& kernel, uint32_t buffer_bytes) {
  void* memory = kernel.Allocate(UsbTransferBytes(buffer_bytes));
  if (!memory) return nullptr;
  // Zeroed whole: no earlier pool contents reach the stack or the device.
  __builtin_memset(memory, 0, UsbTransferBytes(buffer_bytes));
  auto* transfer = new (memory) UsbTransfer{};
  transfer->buffer_bytes = buffer_bytes;
  return transfer;
}

void DeleteUsbTransfer(KernelPort& kernel, UsbTransfer* transfer) {
  if (transfer) kernel.Free(transfer);
}

NtStatus SendUsbRequestAndWait(KernelPort& kernel, KernelObject physical_device, UsbTransfer** transfer,
                               uint32_t wait_ms) {
  UsbTransfer* t = *transfer;
  t->completion = UsbCompletion{};
  UsbRequest* request = nullptr;
  const NtStatus started = kernel.StartUsbRequest(physical_device, t->urb, &t->completion, &request);
  if (!IsSuccess(started)) return started;

  if (kernel.WaitUsbRequest(request, wait_ms)) {
    const NtStatus result = t->completion.status;
    kernel.FreeUsbRequest(request);
    return result;
  }
  // Only a request that has not completed yet is cancelled; the port keeps the request alive until
  // it is freed or abandoned, so completion and cancel cannot race over a freed request.
  if (InterlockedCompareExchange32(&t->completion.state, kRequestCancelling, kRequestPending) == kRequestPending) {
    kernel.CancelUsbRequest(request);
  }
  if (kernel.WaitUsbRequest(request, kCancelWaitMs)) {
    kernel.FreeUsbRequest(request);
    return kStatusTimeout;
  }
  // The stack ignores the cancel. Waiting on would leave the caller's thread in the kernel for as
  // long as the lower driver pleases: the request, its memory and a device reference go to the port.
  kernel.ReferenceObject(physical_device);
  kernel.AbandonUsbRequest(request, t, physical_device);
  *transfer = nullptr;
  return kStatusTimeout;
}

}  // namespace fcp::driver
