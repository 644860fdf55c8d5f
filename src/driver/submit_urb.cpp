// Submission: a USB request block from the caller's memory, copied into the kernel once, checked on
// that copy only, forwarded to the registered device with a bounded wait, and its results given back.
#include "driver/acceptance.h"
#include "driver/kvxupx_driver.h"
#include "driver/registered_table.h"
#include "driver/urb_layout.h"
#include "driver/usb_request.h"

namespace fcp::driver {
namespace {

using kvxupx::kNativeUrbLayout;
using kvxupx::kNativeUrbSize;
constexpr size_t kUrbHeaderBytes = 16;

// Setup packet fields (bmRequestType bits and standard requests).
constexpr uint8_t kRequestTypeIn = 0x80;
constexpr uint8_t kRequestTypeStandard = 0;
constexpr uint8_t kRequestTypeReserved = 3;
constexpr uint8_t kRecipientInterface = 1;
constexpr uint8_t kRecipientEndpoint = 2;
constexpr uint8_t kRequestGetStatus = 0;
constexpr uint8_t kRequestGetDescriptor = 6;
// TransferFlags a caller may set: the direction and whether a short IN transfer is fine. The default-
// pipe bit is the driver's to set; the rest is undefined for these functions.
constexpr uint32_t kForwardedTransferFlags = kvxupx::kUsbdTransferDirectionIn | kvxupx::kUsbdShortTransferOk;

template <class T>
T Get(const uint8_t* urb, size_t offset) {
  T value;
  __builtin_memcpy(&value, urb + offset, sizeof value);
  return value;
}
template <class T>
void Put(uint8_t* urb, size_t offset, T value) {
  __builtin_memcpy(urb + offset, &value, sizeof value);
}
// A pointer field of the kernel's layout, as a number.
uint64_t GetPointer(const uint8_t* urb, size_t offset) { return reinterpret_cast<uintptr_t>(Get<void*>(urb, offset)); }
void PutPointer(uint8_t* urb, size_t offset, uint64_t value) {
  Put<void*>(urb, offset, reinterpret_cast<void*>(static_cast<uintptr_t>(value)));
}

bool ForwardedFunction(uint16_t function) {
  switch (function) {
    case kvxupx::kUrbControlTransfer:
    case kvxupx::kUrbGetDescriptorFromDevice:
    case kvxupx::kUrbVendorDevice:
    case kvxupx::kUrbClassInterface:
    case kvxupx::kUrbControlTransferEx:
      return true;
    default:
      return false;
  }
}

// On a hub only what this system sends to the chip behind it: descriptor reads and vendor requests
// to the device. Hub class requests (its depth, its features, its ports) belong to the hub driver.
bool ForwardedToHub(uint16_t function) {
  return function == kvxupx::kUrbGetDescriptorFromDevice || function == kvxupx::kUrbVendorDevice;
}

NtStatus CheckHeader(const uint8_t* header) {
  if (!ForwardedFunction(Get<uint16_t>(header, kvxupx::kUrbFunctionOffset))) return kStatusNotSupported;
  if (Get<uint16_t>(header, kvxupx::kUrbLengthOffset) != kNativeUrbSize) return kStatusInvalidParameter;
  return kStatusSuccess;
}

uint32_t BoundedWait(uint32_t timeout_ms) {
  if (timeout_ms < kMinSubmitWaitMs) return kMinSubmitWaitMs;
  if (timeout_ms > kMaxSubmitWaitMs) return kMaxSubmitWaitMs;
  return timeout_ms;
}

// Copies the caller's block into `copy` (kNativeUrbSize bytes) with one read and checks the header
// of that copy. Everything after works on the copy alone: a caller thread rewriting its block
// meanwhile changes nothing the driver sends.
NtStatus FetchCallerUrb(KernelPort& kernel, uint64_t address, uint8_t* copy) {
  NtStatus status = kernel.ProbeCallerRead(address, kNativeUrbSize);
  if (IsSuccess(status)) status = kernel.CopyFromCaller(copy, address, kNativeUrbSize);
  if (!IsSuccess(status)) {
    // A block cut short by its region: report what is wrong with its header, when that reads.
    uint8_t header[kUrbHeaderBytes];
    if (IsSuccess(kernel.ProbeCallerRead(address, sizeof header)) &&
        IsSuccess(kernel.CopyFromCaller(header, address, sizeof header)) && !IsSuccess(CheckHeader(header))) {
      return CheckHeader(header);
    }
    return status;
  }
  return CheckHeader(copy);
}

bool IsInTransfer(const uint8_t* copy) {
  return Get<uint16_t>(copy, kvxupx::kUrbFunctionOffset) == kvxupx::kUrbGetDescriptorFromDevice ||
         (Get<uint32_t>(copy, kNativeUrbLayout.transfer_flags) & kvxupx::kUsbdTransferDirectionIn) != 0;
}

// A setup packet of the caller's own (control transfers) may carry class and vendor requests, and of
// the standard ones only the reading requests: the device's address, configuration, interfaces and
// features belong to its function driver. Requests to "other" recipients (a hub's ports, so other
// devices) are refused. Returns the interface number the packet names, or -1.
NtStatus CheckSetupPacket(const uint8_t* copy, uint32_t length, int* interface_number) {
  const uint8_t* setup = copy + kNativeUrbLayout.tail;
  const uint8_t request_type = setup[0];
  const uint8_t request = setup[1];
  const uint8_t type = (request_type >> 5) & 3;
  const uint8_t recipient = request_type & 0x1F;
  if (recipient > kRecipientEndpoint || type == kRequestTypeReserved) return kStatusNotSupported;
  if (type == kRequestTypeStandard &&
      (!(request_type & kRequestTypeIn) || (request != kRequestGetStatus && request != kRequestGetDescriptor))) {
    return kStatusNotSupported;
  }
  if (Get<uint16_t>(setup, 6) > length) return kStatusInvalidParameter;  // wLength beyond the buffer
  if (length != 0 && ((request_type & kRequestTypeIn) != 0) != IsInTransfer(copy)) return kStatusInvalidParameter;
  *interface_number = recipient == kRecipientInterface ? setup[4] : -1;
  return kStatusSuccess;
}

// The block comes from user mode: no memory descriptors or chained blocks of its own, no pipe of its
// choosing, no transfer beyond what a control transfer can carry, no request the allow-list does not
// name, no value in a field that belongs to the stack. Makes the copy fit to forward.
// *interface_number: the interface the request names, or -1.
NtStatus SanitizeUrb(uint8_t* copy, bool hub, int* interface_number) {
  const uint16_t function = Get<uint16_t>(copy, kvxupx::kUrbFunctionOffset);
  if (hub && !ForwardedToHub(function)) return kStatusNotSupported;
  if (GetPointer(copy, kNativeUrbLayout.transfer_buffer_mdl) != 0) return kStatusInvalidParameter;
  if (kvxupx::UrbHasLink(function) && GetPointer(copy, kNativeUrbLayout.urb_link) != 0) {
    return kStatusInvalidParameter;
  }
  const uint32_t length = Get<uint32_t>(copy, kNativeUrbLayout.transfer_buffer_length);
  if (length > kMaxTransferLength) return kStatusInvalidParameter;
  if (length != 0 && GetPointer(copy, kNativeUrbLayout.transfer_buffer) == 0) return kStatusInvalidParameter;
  // The stack ORs this byte into bmRequestType: anything but 0 would turn the vendor or class
  // request into one the setup-packet rules refuse (another recipient, a reserved type, a direction
  // against the transfer's).
  const bool vendor_or_class = function == kvxupx::kUrbVendorDevice || function == kvxupx::kUrbClassInterface;
  if (vendor_or_class && copy[kNativeUrbLayout.tail] != 0) return kStatusInvalidParameter;
  *interface_number = -1;
  uint32_t flags = Get<uint32_t>(copy, kNativeUrbLayout.transfer_flags) & kForwardedTransferFlags;
  if (kvxupx::UrbNamesPipe(function)) {
    const NtStatus status = CheckSetupPacket(copy, length, interface_number);
    if (!IsSuccess(status)) return status;
    flags |= kvxupx::kUsbdDefaultPipeTransfer;
  } else if (function == kvxupx::kUrbClassInterface) {
    *interface_number = copy[kNativeUrbLayout.tail + 4];  // Index, low byte
  }
  Put<uint32_t>(copy, kNativeUrbLayout.transfer_flags, flags);
  // Fields of the stack's own: the device handle, the header's flags, the pipe (or the Reserved
  // pointer in its place), the scratch area and the tail's reserved words.
  PutPointer(copy, kNativeUrbLayout.device_handle, 0);
  Put<uint32_t>(copy, kNativeUrbLayout.device_handle + kNativeUrbLayout.pointer_size, 0);
  PutPointer(copy, kNativeUrbLayout.pipe_handle, 0);
  __builtin_memset(copy + kNativeUrbLayout.hca, 0, kNativeUrbLayout.hca_size);
  if (function == kvxupx::kUrbGetDescriptorFromDevice) {
    Put<uint16_t>(copy, kNativeUrbLayout.tail, 0);      // Reserved1
    Put<uint16_t>(copy, kNativeUrbLayout.tail + 6, 0);  // Reserved2
  } else if (vendor_or_class) {
    Put<uint16_t>(copy, kNativeUrbLayout.tail + 6, 0);  // Reserved1
  }
  return kStatusSuccess;
}

// Gives the caller what it reads back: the block's status and transfer length. The block's other
// fields keep the caller's own values; the stack's addresses never leave the kernel.
NtStatus ReturnResults(KernelPort& kernel, uint64_t address, uint32_t usbd_status, uint32_t transferred) {
  const NtStatus status = kernel.CopyToCaller(address + kvxupx::kUrbStatusOffset, &usbd_status, sizeof usbd_status);
  if (!IsSuccess(status)) return status;
  return kernel.CopyToCaller(address + kNativeUrbLayout.transfer_buffer_length, &transferred, sizeof transferred);
}

// Milliseconds left until `deadline` (a time of the port's clock), at most `cap`.
uint32_t Remaining(KernelPort& kernel, uint64_t deadline, uint32_t cap) {
  const uint64_t now = kernel.MonotonicMs();
  if (now >= deadline) return 0;
  return deadline - now < cap ? static_cast<uint32_t>(deadline - now) : cap;
}

NtStatus ForwardCallerUrb(DeviceExtension& ext, const SubmissionHold& hold, uint64_t address, uint64_t deadline) {
  KernelPort& kernel = *ext.kernel;
  uint8_t copy[kNativeUrbSize];
  NtStatus status = FetchCallerUrb(kernel, address, copy);
  if (!IsSuccess(status)) return status;
  int interface_number = -1;
  status = SanitizeUrb(copy, hold.hub, &interface_number);
  if (!IsSuccess(status)) return status;

  // Everything the results go to is known writable before the device is asked anything.
  const bool in = IsInTransfer(copy);
  const uint64_t buffer = GetPointer(copy, kNativeUrbLayout.transfer_buffer);
  const uint32_t length = Get<uint32_t>(copy, kNativeUrbLayout.transfer_buffer_length);
  status = kernel.ProbeCallerWrite(address, kNativeUrbSize);
  if (IsSuccess(status) && length != 0) {
    status = in ? kernel.ProbeCallerWrite(buffer, length) : kernel.ProbeCallerRead(buffer, length);
  }
  if (!IsSuccess(status)) return status;

  // A request for an interface goes only to an interface the registered device has. Its descriptor
  // reads come out of the submission's own time.
  if (interface_number >= 0 &&
      !DeviceHasInterface(kernel, hold.device, static_cast<uint8_t>(interface_number), deadline)) {
    return Remaining(kernel, deadline, 1) == 0 ? kStatusTimeout : kStatusInvalidParameter;
  }

  // The stack gets kernel memory of the request's own: the checked block and a buffer holding an
  // OUT transfer's bytes. Should the stack keep the request past its cancel, that memory goes with
  // it, and nothing of the caller's is left in the stack's hands.
  UsbTransfer* transfer = NewUsbTransfer(kernel, length);
  if (!transfer) return kStatusInsufficientResources;
  __builtin_memcpy(transfer->urb, copy, kNativeUrbSize);
  transfer->PointUrbAtBuffer();
  if (length != 0 && !in) status = kernel.CopyFromCaller(transfer->Buffer(), buffer, length);

  // The device may have gone while the caller's memory was read: then nothing is sent.
  const uint32_t wait_ms = Remaining(kernel, deadline, kMaxSubmitWaitMs);
  bool sent = false;
  if (!IsSuccess(status)) {
    // The OUT bytes could not be read: their status.
  } else if (HeldDeviceRemoved(ext, hold)) {
    status = kStatusDeviceRemoved;
  } else if (wait_ms == 0) {
    status = kStatusTimeout;
  } else {
    status = SendUsbRequestAndWait(kernel, hold.device, &transfer, wait_ms);
    // A request the kernel could not start reached nothing: the caller's block and buffer are left
    // alone, as for any other refusal.
    sent = !transfer || transfer->completion.state == kRequestCompleted;
  }
  if (!sent) {
    DeleteUsbTransfer(kernel, transfer);
    return status;
  }

  // The stack cannot report more than it was given room for. A request left to the stack ends as a
  // cancelled one that moved nothing.
  uint32_t usbd_status = kvxupx::kUsbdStatusCanceled;
  uint32_t transferred = 0;
  if (transfer) {
    usbd_status = Get<uint32_t>(transfer->urb, kvxupx::kUrbStatusOffset);
    transferred = Get<uint32_t>(transfer->urb, kNativeUrbLayout.transfer_buffer_length);
    if (transferred > length) transferred = length;
    if (in && transferred != 0) {
      const NtStatus copied = kernel.CopyToCaller(buffer, transfer->Buffer(), transferred);
      if (!IsSuccess(copied) && IsSuccess(status)) status = copied;
    }
    DeleteUsbTransfer(kernel, transfer);
  }
  const NtStatus returned = ReturnResults(kernel, address, usbd_status, transferred);
  return IsSuccess(returned) ? status : returned;
}

}  // namespace

NtStatus SubmitUrb(DeviceExtension& ext, KernelObject file, uint64_t device_handle, uint64_t urb_address,
                   uint32_t timeout_ms) {
  KernelPort& kernel = *ext.kernel;
  if (device_handle == 0 || urb_address == 0) return kStatusInvalidParameter;
  // The hold keeps the registration (its device reference and its watch on the interface) until the
  // request has ended, whatever close-device, cleanup or a removal does meanwhile.
  SubmissionHold hold;
  NtStatus status = HoldForSubmission(ext, file, device_handle, &hold);
  if (!IsSuccess(status)) return status;
  // The whole submission, descriptor reads included, ends within the caller's bounded timeout and
  // one cancel wait (only a request that timed out is cancelled, and a timeout ends the submission).
  const uint64_t deadline = kernel.MonotonicMs() + BoundedWait(timeout_ms);

  status = ForwardCallerUrb(ext, hold, urb_address, deadline);
  ReleaseSubmission(ext, hold);
  return status;
}

}  // namespace fcp::driver
