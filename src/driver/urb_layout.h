// Byte offsets of the USB request block fields that the pass-through path reads or fills, in the
// platform's published layouts for 4-byte and 8-byte pointers. Shared by the driver (its own word
// size) and user mode (which builds blocks for the kernel it talks to).
#pragma once
#include <cstddef>
#include <cstdint>

#include "driver/kvxupx_ioctl.h"

namespace fcp::kvxupx {

// Request functions (URB_FUNCTION_*) that the driver forwards.
inline constexpr uint16_t kUrbControlTransfer = 0x0008;
inline constexpr uint16_t kUrbBulkOrInterruptTransfer = 0x0009;  // refused
inline constexpr uint16_t kUrbGetDescriptorFromDevice = 0x000B;
inline constexpr uint16_t kUrbVendorDevice = 0x0017;
inline constexpr uint16_t kUrbClassInterface = 0x001B;
inline constexpr uint16_t kUrbControlTransferEx = 0x0032;

// TransferFlags bits.
inline constexpr uint32_t kUsbdTransferDirectionIn = 0x1;
inline constexpr uint32_t kUsbdShortTransferOk = 0x2;
inline constexpr uint32_t kUsbdDefaultPipeTransfer = 0x8;

// Hdr.Status values the pass-through path and the simulated USB stack use.
inline constexpr uint32_t kUsbdStatusSuccess = 0x00000000;
inline constexpr uint32_t kUsbdStatusStallPid = 0xC0000004;
inline constexpr uint32_t kUsbdStatusCanceled = 0xC0010000;

struct UrbLayout {
  uint16_t size;
  // Header: Length (u16) at 0, Function (u16) at 2, Status (u32) at 4, then UsbdDeviceHandle.
  size_t device_handle;
  size_t pointer_size;
  // Common to the control-transfer family.
  size_t pipe_handle;  // PipeHandle (control transfers) / Reserved (descriptor, vendor, class)
  size_t transfer_flags;
  size_t transfer_buffer_length;
  size_t transfer_buffer;
  size_t transfer_buffer_mdl;
  size_t urb_link;  // absent in the extended control transfer, where Timeout sits here
  size_t hca;       // host-controller scratch area, 8 pointers
  size_t hca_size;
  // After the scratch area: the setup packet (control transfers), or
  //   Reserved1 u16, Index u8, DescriptorType u8, LanguageId u16 (descriptor request), or
  //   RequestTypeReservedBits u8, Request u8, Value u16, Index u16 (vendor and class requests).
  size_t tail;
};

inline constexpr size_t kUrbLengthOffset = 0;
inline constexpr size_t kUrbFunctionOffset = 2;
inline constexpr size_t kUrbStatusOffset = 4;

inline constexpr UrbLayout kUrbLayout32{kUrbSize32, 8, 4, 16, 20, 24, 28, 32, 36, 40, 32, 72};
inline constexpr UrbLayout kUrbLayout64{kUrbSize64, 8, 8, 24, 32, 36, 40, 48, 56, 64, 64, 128};
static_assert(kUrbLayout32.tail + 8 == kUrbSize32 && kUrbLayout64.tail + 8 == kUrbSize64);

inline constexpr const UrbLayout& kNativeUrbLayout = sizeof(void*) == 8 ? kUrbLayout64 : kUrbLayout32;

// Functions whose block carries the UrbLink field.
constexpr bool UrbHasLink(uint16_t function) { return function != kUrbControlTransferEx; }
// Functions that name a pipe: the driver sends them to the default pipe only.
constexpr bool UrbNamesPipe(uint16_t function) {
  return function == kUrbControlTransfer || function == kUrbControlTransferEx;
}

}  // namespace fcp::kvxupx
