// The device-control request: the code and the buffer lengths pick the operation.
#include "driver/kvxupx_driver.h"
#include "driver/kvxupx_ioctl.h"

namespace fcp::driver {
namespace {

using Block = kvxupx::NativeControlBlock;
constexpr uint32_t kBlockSize = sizeof(Block);

kvxupx::ControlRequest ReadBlock(const void* buffer) {
  Block block;
  __builtin_memcpy(&block, buffer, sizeof block);
  return kvxupx::DecodeControlBlock(block);
}

}  // namespace

NtStatus DeviceControl(DeviceExtension& ext, KernelObject file, uint32_t code, void* buffer, uint32_t input_length,
                       uint32_t output_length, uint32_t* information) {
  *information = 0;
  switch (code) {
    case kvxupx::kIoctlOpenDevice: {
      if (input_length != kBlockSize || output_length != kBlockSize || !buffer) return kStatusInvalidParameter;
      Block block;
      __builtin_memcpy(&block, buffer, sizeof block);
      const kvxupx::ControlRequest request = kvxupx::DecodeControlBlock(block);
      uint64_t handle = 0;
      const NtStatus status = OpenDevice(ext, file, request.interface_handle, request.transport_kind, &handle);
      block.handle_low = static_cast<uint32_t>(handle);
      block.handle_high = static_cast<uint32_t>(handle >> 32);
      __builtin_memcpy(buffer, &block, sizeof block);
      if (IsSuccess(status)) *information = kBlockSize;
      return status;
    }
    case kvxupx::kIoctlCloseDevice:
      if (input_length < kBlockSize || !buffer) return kStatusInvalidParameter;
      return CloseDevice(ext, file, ReadBlock(buffer).device_handle);
    case kvxupx::kIoctlSubmitUrb: {
      if (input_length < kBlockSize || !buffer) return kStatusInvalidParameter;
      const kvxupx::ControlRequest request = ReadBlock(buffer);
      return SubmitUrb(ext, file, request.device_handle, request.urb_address, request.timeout_ms);
    }
    default:
      return kStatusInvalidParameter;
  }
}

}  // namespace fcp::driver
