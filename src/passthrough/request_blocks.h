// The bytes user mode hands to the driver: the control block of the three I/O controls and the USB
// request block of a device-descriptor read, each in the layout of the kernel that reads it.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "driver/kvxupx_ioctl.h"
#include "driver/urb_layout.h"

namespace fcp::passthrough {

// The layouts of one kernel word size: a 64-bit kernel (a 64-bit process, or a 32-bit one under
// WOW64) reads 40-byte control blocks and 136-byte request blocks, a 32-bit kernel 32 and 80.
struct KernelLayout {
  bool wide;
  uint32_t control_block_size;
  const kvxupx::UrbLayout& urb;
};
KernelLayout LayoutFor(bool wide_kernel);

struct ControlBlock {
  alignas(8) std::array<uint8_t, sizeof(kvxupx::ControlBlock64)> bytes{};
  uint32_t size = 0;
};
ControlBlock BuildControlBlock(const KernelLayout& layout, const kvxupx::ControlRequest& request);
kvxupx::ControlRequest ReadControlBlock(const KernelLayout& layout, const ControlBlock& block);

inline constexpr uint32_t kDeviceDescriptorLength = 18;
inline constexpr uint8_t kDeviceDescriptorType = 1;

struct RequestBlock {
  alignas(8) std::array<uint8_t, kvxupx::kUrbSize64> bytes{};
};
// Get-descriptor-from-device block: descriptor type 1, index 0, language 0, the caller's buffer.
RequestBlock BuildDeviceDescriptorRequest(const KernelLayout& layout, uint64_t buffer_address);
// Vendor-device request block (function 0x0017): direction from `device_to_host` (with short
// transfers allowed), request, value and index, and the caller's buffer of `length` bytes.
RequestBlock BuildVendorDeviceRequest(const KernelLayout& layout, bool device_to_host, uint8_t request,
                                      uint16_t value, uint16_t index, uint64_t buffer_address, uint32_t length);
uint32_t RequestStatus(const RequestBlock& block);
uint32_t RequestTransferLength(const KernelLayout& layout, const RequestBlock& block);

}  // namespace fcp::passthrough
