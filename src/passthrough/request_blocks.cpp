#include "passthrough/request_blocks.h"

#include <cstring>

namespace fcp::passthrough {
namespace {

template <class T>
void Put(uint8_t* bytes, size_t offset, T value) {
  std::memcpy(bytes + offset, &value, sizeof value);  // the kernels are little-endian, like us
}
template <class T>
T Get(const uint8_t* bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}

}  // namespace

KernelLayout LayoutFor(bool wide_kernel) {
  if (wide_kernel) return {true, sizeof(kvxupx::ControlBlock64), kvxupx::kUrbLayout64};
  return {false, sizeof(kvxupx::ControlBlock32), kvxupx::kUrbLayout32};
}

ControlBlock BuildControlBlock(const KernelLayout& layout, const kvxupx::ControlRequest& request) {
  ControlBlock block;
  block.size = layout.control_block_size;
  if (layout.wide) {
    const auto b = kvxupx::EncodeControlBlock<kvxupx::ControlBlock64>(request);
    std::memcpy(block.bytes.data(), &b, sizeof b);
  } else {
    const auto b = kvxupx::EncodeControlBlock<kvxupx::ControlBlock32>(request);
    std::memcpy(block.bytes.data(), &b, sizeof b);
  }
  return block;
}

kvxupx::ControlRequest ReadControlBlock(const KernelLayout& layout, const ControlBlock& block) {
  if (layout.wide) {
    kvxupx::ControlBlock64 b;
    std::memcpy(&b, block.bytes.data(), sizeof b);
    return kvxupx::DecodeControlBlock(b);
  }
  kvxupx::ControlBlock32 b;
  std::memcpy(&b, block.bytes.data(), sizeof b);
  return kvxupx::DecodeControlBlock(b);
}

RequestBlock BuildDeviceDescriptorRequest(const KernelLayout& layout, uint64_t buffer_address) {
  RequestBlock block;
  uint8_t* b = block.bytes.data();
  const kvxupx::UrbLayout& u = layout.urb;
  Put<uint16_t>(b, kvxupx::kUrbLengthOffset, u.size);
  Put<uint16_t>(b, kvxupx::kUrbFunctionOffset, kvxupx::kUrbGetDescriptorFromDevice);
  Put<uint32_t>(b, u.transfer_buffer_length, kDeviceDescriptorLength);
  if (u.pointer_size == 8) {
    Put<uint64_t>(b, u.transfer_buffer, buffer_address);
  } else {
    Put<uint32_t>(b, u.transfer_buffer, static_cast<uint32_t>(buffer_address));
  }
  // Tail: Reserved1 (u16), Index (u8), DescriptorType (u8), LanguageId (u16).
  Put<uint8_t>(b, u.tail + 2, 0);
  Put<uint8_t>(b, u.tail + 3, kDeviceDescriptorType);
  Put<uint16_t>(b, u.tail + 4, 0);
  return block;
}

RequestBlock BuildVendorDeviceRequest(const KernelLayout& layout, bool device_to_host, uint8_t request,
                                      uint16_t value, uint16_t index, uint64_t buffer_address, uint32_t length) {
  RequestBlock block;
  uint8_t* b = block.bytes.data();
  const kvxupx::UrbLayout& u = layout.urb;
  Put<uint16_t>(b, kvxupx::kUrbLengthOffset, u.size);
  Put<uint16_t>(b, kvxupx::kUrbFunctionOffset, kvxupx::kUrbVendorDevice);
  // In: the device may send less than asked, and the block tells how much it did.
  Put<uint32_t>(b, u.transfer_flags,
                device_to_host ? kvxupx::kUsbdTransferDirectionIn | kvxupx::kUsbdShortTransferOk : 0);
  Put<uint32_t>(b, u.transfer_buffer_length, length);
  if (u.pointer_size == 8) {
    Put<uint64_t>(b, u.transfer_buffer, buffer_address);
  } else {
    Put<uint32_t>(b, u.transfer_buffer, static_cast<uint32_t>(buffer_address));
  }
  // Tail: RequestTypeReservedBits (u8), Request (u8), Value (u16), Index (u16).
  Put<uint8_t>(b, u.tail, 0);
  Put<uint8_t>(b, u.tail + 1, request);
  Put<uint16_t>(b, u.tail + 2, value);
  Put<uint16_t>(b, u.tail + 4, index);
  return block;
}

uint32_t RequestStatus(const RequestBlock& block) { return Get<uint32_t>(block.bytes.data(), kvxupx::kUrbStatusOffset); }

uint32_t RequestTransferLength(const KernelLayout& layout, const RequestBlock& block) {
  return Get<uint32_t>(block.bytes.data(), layout.urb.transfer_buffer_length);
}

}  // namespace fcp::passthrough
