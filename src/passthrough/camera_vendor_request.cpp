// Vendor requests on a camera connection: vendor-device request blocks through the driver.
#include <cstring>
#include <vector>

#include "passthrough/driver_service.h"
#include "passthrough/kvcam.h"
#include "passthrough/kvxupx.h"
#include "passthrough/request_blocks.h"

bool KvCam_VendorRequest(const KvCamDevice& device, bool deviceToHost, uint8_t bRequest, uint16_t wValue,
                         uint16_t wIndex, uint8_t* buffer, uint16_t length, uint32_t timeoutMs, uint32_t* moved) {
  if (moved != nullptr) *moved = 0;
  if (device.driverHandleLow == 0 && device.driverHandleHigh == 0) return false;
  // The driver hands the stack a copy of the transfer buffer and copies it back, in both directions:
  // it gets a writable buffer of our own, so a caller's read-only data is never written to.
  std::vector<uint8_t> transfer(length);
  if (!deviceToHost && length != 0) std::memcpy(transfer.data(), buffer, length);
  // Built for the kernel that reads it (a 32-bit process on 64-bit Windows builds the wide block).
  const fcp::passthrough::KernelLayout kernel = fcp::passthrough::ProcessDriverService().layout();
  fcp::passthrough::RequestBlock block = fcp::passthrough::BuildVendorDeviceRequest(
      kernel, deviceToHost, bRequest, wValue, wIndex, reinterpret_cast<uintptr_t>(length != 0 ? transfer.data() : nullptr),
      length);
  if (!KvxUpx_SubmitUrb(device.driverHandleLow, device.driverHandleHigh, block.bytes.data(), timeoutMs)) return false;
  if (fcp::passthrough::RequestStatus(block) != fcp::kvxupx::kUsbdStatusSuccess) return false;
  const uint32_t transferred = fcp::passthrough::RequestTransferLength(kernel, block);
  if (transferred > length) return false;  // never more than the buffer holds
  if (deviceToHost && transferred != 0) std::memcpy(buffer, transfer.data(), transferred);
  if (moved != nullptr) *moved = transferred;
  return true;
}
