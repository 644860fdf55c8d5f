// Vendor requests on a camera connection: vendor-device request blocks through the driver.
#include <cstring>
#include <vector>

#include "driver/urb_layout.h"
#include "passthrough/driver_service.h"
#include "passthrough/kvcam.h"
#include "passthrough/kvxupx.h"

namespace {

template <class T>
void Put(uint8_t* block, size_t offset, T value) {
  std::memcpy(block + offset, &value, sizeof value);
}

template <class T>
T Get(const uint8_t* block, size_t offset) {
  T value;
  std::memcpy(&value, block + offset, sizeof value);
  return value;
}

}  // namespace

bool KvCam_VendorRequest(const KvCamDevice& device, bool deviceToHost, uint8_t bRequest, uint16_t wValue,
                         uint16_t wIndex, uint8_t* buffer, uint16_t length, uint32_t timeoutMs, uint32_t* moved) {
  namespace kv = fcp::kvxupx;
  if (moved != nullptr) *moved = 0;
  if (device.driverHandleLow == 0 && device.driverHandleHigh == 0) return false;
  // Built for the kernel that reads it (a 32-bit process on 64-bit Windows builds the wide block).
  const fcp::passthrough::KernelLayout kernel = fcp::passthrough::ProcessDriverService().layout();
  const kv::UrbLayout& u = kernel.urb;
  alignas(8) uint8_t block[kv::kUrbSize64] = {};
  Put<uint16_t>(block, kv::kUrbLengthOffset, u.size);
  Put<uint16_t>(block, kv::kUrbFunctionOffset, kv::kUrbVendorDevice);
  // In: the device may send less than asked, and the block tells how much it did.
  Put<uint32_t>(block, u.transfer_flags, deviceToHost ? kv::kUsbdTransferDirectionIn | kv::kUsbdShortTransferOk : 0);
  Put<uint32_t>(block, u.transfer_buffer_length, length);
  // The driver hands the stack a copy of the transfer buffer and copies it back, in both directions:
  // it gets a writable buffer of our own, so a caller's read-only data is never written to.
  std::vector<uint8_t> transfer(length);
  if (!deviceToHost && length != 0) std::memcpy(transfer.data(), buffer, length);
  const auto address = reinterpret_cast<uintptr_t>(length != 0 ? transfer.data() : nullptr);
  if (u.pointer_size == 8) {
    Put<uint64_t>(block, u.transfer_buffer, address);
  } else {
    Put<uint32_t>(block, u.transfer_buffer, static_cast<uint32_t>(address));
  }
  // Tail: RequestTypeReservedBits (u8), Request (u8), Value (u16), Index (u16).
  Put<uint8_t>(block, u.tail, 0);
  Put<uint8_t>(block, u.tail + 1, bRequest);
  Put<uint16_t>(block, u.tail + 2, wValue);
  Put<uint16_t>(block, u.tail + 4, wIndex);
  if (!KvxUpx_SubmitUrb(device.driverHandleLow, device.driverHandleHigh, block, timeoutMs)) return false;
  if (Get<uint32_t>(block, kv::kUrbStatusOffset) != kv::kUsbdStatusSuccess) return false;
  const uint32_t transferred = Get<uint32_t>(block, u.transfer_buffer_length);
  if (transferred > length) return false;  // never more than the buffer holds
  if (deviceToHost && transferred != 0) std::memcpy(buffer, transfer.data(), transferred);
  if (moved != nullptr) *moved = transferred;
  return true;
}
