// Submission: a USB request block from the caller's memory, checked, copied, forwarded to the
// registered device with a bounded wait, and copied back.
#include "driver/kvxupx_driver.h"
#include "driver/registered_table.h"
#include "driver/urb_layout.h"
#include "driver/usb_request.h"

namespace fcp::driver {
namespace {

using kvxupx::kNativeUrbLayout;
using kvxupx::kNativeUrbSize;
constexpr size_t kUrbHeaderProbe = 16;

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

uint32_t BoundedWait(uint32_t timeout_ms) {
  if (timeout_ms < kMinSubmitWaitMs) return kMinSubmitWaitMs;
  if (timeout_ms > kMaxSubmitWaitMs) return kMaxSubmitWaitMs;
  return timeout_ms;
}

// Checks the caller's block and copies it into `copy` (kNativeUrbSize bytes).
NtStatus FetchCallerUrb(KernelPort& kernel, uint64_t address, uint8_t* copy) {
  NtStatus status = kernel.ProbeCallerRead(address, kUrbHeaderProbe);
  if (!IsSuccess(status)) return status;
  uint8_t header[kUrbHeaderProbe];
  status = kernel.CopyFromCaller(header, address, sizeof header);
  if (!IsSuccess(status)) return status;
  if (!ForwardedFunction(Get<uint16_t>(header, kvxupx::kUrbFunctionOffset))) return kStatusNotSupported;
  if (Get<uint16_t>(header, kvxupx::kUrbLengthOffset) != kNativeUrbSize) return kStatusInvalidParameter;
  status = kernel.ProbeCallerWrite(address, kNativeUrbSize);
  if (!IsSuccess(status)) return status;
  return kernel.CopyFromCaller(copy, address, kNativeUrbSize);
}

// The block comes from user mode: no memory descriptors or chained blocks of its own, no pipe of its
// choosing, no transfer beyond what a control transfer can carry. Makes the copy fit to forward.
NtStatus SanitizeUrb(uint8_t* copy) {
  const uint16_t function = Get<uint16_t>(copy, kvxupx::kUrbFunctionOffset);
  if (GetPointer(copy, kNativeUrbLayout.transfer_buffer_mdl) != 0) return kStatusInvalidParameter;
  if (kvxupx::UrbHasLink(function) && GetPointer(copy, kNativeUrbLayout.urb_link) != 0) {
    return kStatusInvalidParameter;
  }
  const uint32_t length = Get<uint32_t>(copy, kNativeUrbLayout.transfer_buffer_length);
  if (length > kMaxTransferLength) return kStatusInvalidParameter;
  if (length != 0 && GetPointer(copy, kNativeUrbLayout.transfer_buffer) == 0) return kStatusInvalidParameter;
  if (kvxupx::UrbNamesPipe(function)) {
    PutPointer(copy, kNativeUrbLayout.pipe_handle, 0);
    Put<uint32_t>(copy, kNativeUrbLayout.transfer_flags,
                  Get<uint32_t>(copy, kNativeUrbLayout.transfer_flags) | kvxupx::kUsbdDefaultPipeTransfer);
  }
  PutPointer(copy, kNativeUrbLayout.device_handle, 0);
  __builtin_memset(copy + kNativeUrbLayout.hca, 0, kNativeUrbLayout.hca_size);
  return kStatusSuccess;
}

// Gives the caller's block back: the stack's results, the caller's own addresses and pipe, and none
// of the kernel's addresses.
void RestoreCallerFields(uint8_t* copy, const uint8_t* original) {
  const size_t fields[] = {kNativeUrbLayout.device_handle, kNativeUrbLayout.pipe_handle,
                           kNativeUrbLayout.transfer_buffer};
  for (size_t field : fields) __builtin_memcpy(copy + field, original + field, kNativeUrbLayout.pointer_size);
  __builtin_memcpy(copy + kNativeUrbLayout.transfer_flags, original + kNativeUrbLayout.transfer_flags, 4);
  __builtin_memset(copy + kNativeUrbLayout.hca, 0, kNativeUrbLayout.hca_size);
}

NtStatus ForwardCallerUrb(KernelPort& kernel, KernelObject device, uint64_t address, uint32_t timeout_ms,
                          uint8_t* copy, uint8_t* original) {
  NtStatus status = FetchCallerUrb(kernel, address, copy);
  if (!IsSuccess(status)) return status;
  __builtin_memcpy(original, copy, kNativeUrbSize);
  status = SanitizeUrb(copy);
  if (!IsSuccess(status)) return status;

  const uint64_t buffer = GetPointer(copy, kNativeUrbLayout.transfer_buffer);
  const uint32_t length = Get<uint32_t>(copy, kNativeUrbLayout.transfer_buffer_length);
  CallerMapping* mapping = nullptr;
  if (length != 0) {
    status = kernel.ProbeCallerWrite(buffer, length);
    if (!IsSuccess(status)) return status;
    void* system_address = nullptr;
    status = kernel.LockAndMapCaller(buffer, length, &mapping, &system_address);
    if (!IsSuccess(status)) return status;
    PutPointer(copy, kNativeUrbLayout.transfer_buffer, reinterpret_cast<uintptr_t>(system_address));
  } else {
    PutPointer(copy, kNativeUrbLayout.transfer_buffer, 0);
  }

  status = SendUsbRequestAndWait(kernel, device, copy, BoundedWait(timeout_ms));

  if (mapping) {
    const NtStatus unlocked = kernel.UnlockCaller(mapping);
    if (!IsSuccess(unlocked) && IsSuccess(status)) status = unlocked;
  }
  RestoreCallerFields(copy, original);
  const NtStatus copied = kernel.CopyToCaller(address, copy, kNativeUrbSize);
  return IsSuccess(copied) ? status : copied;
}

}  // namespace

NtStatus SubmitUrb(DeviceExtension& ext, uint64_t device_handle, uint64_t urb_address, uint32_t timeout_ms) {
  KernelPort& kernel = *ext.kernel;
  if (device_handle == 0 || urb_address == 0) return kStatusInvalidParameter;
  // The submission holds its own reference, so a racing close-device cannot take the device away.
  KernelObject device = ReferenceRegisteredDevice(ext, device_handle);
  if (!device) return kStatusInvalidParameter;

  auto* copy = static_cast<uint8_t*>(kernel.Allocate(2 * kNativeUrbSize));
  NtStatus status = kStatusInsufficientResources;
  if (copy) {
    status = ForwardCallerUrb(kernel, device, urb_address, timeout_ms, copy, copy + kNativeUrbSize);
    kernel.Free(copy);
  }
  kernel.DereferenceObject(device);
  return status;
}

}  // namespace fcp::driver
