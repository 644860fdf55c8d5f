// One internal USB submission from start to end, with a bounded wait, a race-free cancel and a bounded
// wait for the cancel; a request the stack keeps past both is left to the port.
#pragma once
#include <cstddef>
#include <cstdint>

#include "driver/kernel_port.h"
#include "driver/kvxupx_ioctl.h"
#include "driver/urb_layout.h"

namespace fcp::driver {

enum UsbRequestState : int32_t { kRequestPending = 0, kRequestCompleted = 1, kRequestCancelling = 2 };

// Wait for the stack to give a cancelled request back. A stack that ignores the cancel keeps the
// request; the caller does not wait for it longer than this.
inline constexpr uint32_t kCancelWaitMs = 1000;

// Everything the USB stack may still write while it holds a request, in one allocation: the request
// block, the completion record and the transfer buffer (`buffer_bytes` bytes after the header). The
// caller's memory and stack never reach the stack, so a request the stack keeps past every wait can
// be left to the port, which frees this block when the stack lets go of the request.
struct UsbTransfer {
  alignas(8) uint8_t urb[kvxupx::kNativeUrbSize];
  UsbCompletion completion;
  uint32_t buffer_bytes;

  uint8_t* Buffer() { return reinterpret_cast<uint8_t*>(this) + sizeof(UsbTransfer); }
  // Sets the request block's transfer buffer to this transfer's buffer (null when it has none).
  void PointUrbAtBuffer() {
    void* buffer = buffer_bytes ? Buffer() : nullptr;
    __builtin_memcpy(urb + kvxupx::kNativeUrbLayout.transfer_buffer, &buffer, sizeof buffer);
  }
};

// Bytes of the allocation of a transfer with `buffer_bytes` bytes of buffer.
constexpr size_t UsbTransferBytes(uint32_t buffer_bytes) { return sizeof(UsbTransfer) + buffer_bytes; }

// A zeroed transfer with room for `buffer_bytes` bytes; null without memory.
UsbTransfer* NewUsbTransfer(KernelPort& kernel, uint32_t buffer_bytes);
// Frees a transfer the caller still owns (null: nothing).
void DeleteUsbTransfer(KernelPort& kernel, UsbTransfer* transfer);

// Sends the transfer's request block to `physical_device` and waits at most `wait_ms`. When the time
// runs out the request is cancelled and waited for at most kCancelWaitMs more, and the result is
// kStatusTimeout; should the stack still hold the request then, the transfer goes to the port with
// the request (with a reference to the device of its own) and *transfer becomes null. Otherwise the
// result is the request's own status. So the call returns within wait_ms + kCancelWaitMs. A request
// the port cannot start returns the port's status at once; its completion record's state then stays
// kRequestPending (every request that started and came back is kRequestCompleted).
NtStatus SendUsbRequestAndWait(KernelPort& kernel, KernelObject physical_device, UsbTransfer** transfer,
                               uint32_t wait_ms);

}  // namespace fcp::driver
