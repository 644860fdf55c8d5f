// Vendor requests on a camera connection: vendor-device request blocks through the driver.
#include <cstring>
#include <vector>

#include "passthrough/driver_service.h"
#include "passthrough/kvcam.h"
#include "passthrough/kvxupx.h"
#include "passthrough/request_blocks.h"

bool KvCam_VendorRequest(const KvCamDevice& device, bool device_to_host, uint8_t bRequest, uint16_t wValue,
                         uint16_t wIndex, uint8_t* buffer, uint16_t length, uint32_t timeout_ms, uint32_t* moved) {
  if (moved != nullptr) *moved = 0;
  if (device.driver_handle_low == 0 && device.driver_handle_high == 0) return false;
  // The driver hands the stack a copy of the transfer buffer and copies it back, in both directions:
  // it gets a writable buffer of our own, so a caller's read-only data is never written to.
  std::vector<uint8_t> transfer(length);
  if (!device_to_host && length != 0) std::memcpy(transfer.data(), buffer, length);
  // Built for the kernel that reads it (a 32-bit process on 64-bit Windows builds the wide block).
  const fcp::passthrough::KernelLayout kernel = fcp::passthrough::ProcessDriverService().Layout();
  fcp::passthrough::RequestBlock block = fcp::passthrough::BuildVendorDeviceRequest(
      kernel, device_to_host, bRequest, wValue, wIndex, reinterpret_cast<uintptr_t>(length != 0 ? transfer.data() : nullptr),
      length);
  if (!KvxUpx_SubmitUrb(device.driver_handle_low, device.driver_handle_high, block.bytes.data(), timeout_ms)) return false;
  if (fcp::passthrough::RequestStatus(block) != fcp::kvxupx::kUsbdStatusSuccess) return false;
  const uint32_t transferred = fcp::passthrough::RequestTransferLength(kernel, block);
  if (transferred > length) return false;  // never more than the buffer holds
  if (device_to_host && transferred != 0) std::memcpy(buffer, transfer.data(), transferred);
  if (moved != nullptr) *moved = transferred;
  return true;
}
