// The bytes the driver reads: control blocks and the device-descriptor request, for both kernel
// word sizes, at the offsets the kernel uses.
#include <gtest/gtest.h>

#include <cstring>

#include "passthrough/request_blocks.h"

namespace fcp::passthrough {
namespace {

template <class T>
T At(const uint8_t* bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}

struct BlockCase {
  bool wide;
  uint32_t size;
  size_t interface_at, low_at, high_at, urb_at, timeout_at, kind_at;
};

TEST(ControlBlock, EveryFieldAtItsKernelOffsetAndTheRestZero) {
  for (const BlockCase& c : {BlockCase{false, 32, 4, 8, 12, 16, 20, 24}, BlockCase{true, 40, 8, 16, 20, 24, 32, 36}}) {
    SCOPED_TRACE(c.wide ? "64-bit kernel" : "32-bit kernel");
    kvxupx::ControlRequest request;
    request.interface_handle = 0x1234'5678;
    request.device_handle = 0xAABBCCDD'11223344ull;
    request.urb_address = 0x8765'4320;
    request.timeout_ms = 5000;
    request.transport_kind = 2;
    const KernelLayout layout = LayoutFor(c.wide);
    const ControlBlock block = BuildControlBlock(layout, request);
    ASSERT_EQ(block.size, c.size);
    const uint8_t* b = block.bytes.data();
    EXPECT_EQ(At<uint32_t>(b, c.interface_at), 0x12345678u);
    EXPECT_EQ(At<uint32_t>(b, c.low_at), 0x11223344u);
    EXPECT_EQ(At<uint32_t>(b, c.high_at), 0xAABBCCDDu);
    EXPECT_EQ(At<uint32_t>(b, c.urb_at), 0x87654320u);
    EXPECT_EQ(At<uint32_t>(b, c.timeout_at), 5000u);
    EXPECT_EQ(At<uint32_t>(b, c.kind_at), 2u);
    // Reserved fields and the high halves of 32-bit values in 64-bit fields are zero.
    std::vector<bool> used(c.size, false);
    for (size_t at : {c.interface_at, c.urb_at, c.low_at, c.high_at, c.timeout_at, c.kind_at}) {
      for (size_t i = 0; i < 4; ++i) used[at + i] = true;
    }
    for (uint32_t i = 0; i < c.size; ++i) {
      if (!used[i]) {
        EXPECT_EQ(b[i], 0) << "byte " << i;
      }
    }
    // The driver's answer is read back from the same layout.
    EXPECT_EQ(ReadControlBlock(layout, block).device_handle, request.device_handle);
  }
}

TEST(DeviceDescriptorRequest, BuiltForTheKernelsWordSize) {
  struct Case {
    bool wide;
    uint16_t length;
    size_t buffer_length_at, buffer_at, pointer_bytes, tail;
  };
  for (const Case& c : {Case{false, 80, 24, 28, 4, 72}, Case{true, 136, 36, 40, 8, 128}}) {
    SCOPED_TRACE(c.length);
    const KernelLayout layout = LayoutFor(c.wide);
    const uint64_t buffer = c.wide ? 0x00007FF0'12345678ull : 0x12345678u;
    const RequestBlock urb = BuildDeviceDescriptorRequest(layout, buffer);
    const uint8_t* b = urb.bytes.data();
    EXPECT_EQ(At<uint16_t>(b, 0), c.length);
    EXPECT_EQ(At<uint16_t>(b, 2), 0x000B);
    EXPECT_EQ(At<uint32_t>(b, c.buffer_length_at), 18u);
    if (c.pointer_bytes == 8) {
      EXPECT_EQ(At<uint64_t>(b, c.buffer_at), buffer);
    } else {
      EXPECT_EQ(At<uint32_t>(b, c.buffer_at), buffer);
    }
    EXPECT_EQ(b[c.tail + 2], 0);  // index
    EXPECT_EQ(b[c.tail + 3], 1);  // device descriptor
    EXPECT_EQ(At<uint16_t>(b, c.tail + 4), 0);  // language
    // Everything else, the status, the pipe, the memory descriptor and the link included, is zero.
    size_t nonzero = 0;
    for (size_t i = 0; i < c.length; ++i) nonzero += b[i] != 0;
    const size_t pointer_nonzero = c.pointer_bytes == 8 ? 6 : 4;
    EXPECT_EQ(nonzero, 4u + pointer_nonzero);  // length, function, 18, type, the pointer's bytes
    for (size_t i = c.length; i < urb.bytes.size(); ++i) EXPECT_EQ(b[i], 0);
    EXPECT_EQ(RequestStatus(urb), 0u);
    EXPECT_EQ(RequestTransferLength(layout, urb), 18u);
  }
}

TEST(VendorDeviceRequest, BuiltForTheKernelsWordSizeInBothDirections) {
  struct Case {
    bool wide, in;
    size_t flags_at, buffer_length_at, buffer_at, tail;
  };
  for (const Case& c : {Case{false, true, 20, 24, 28, 72}, Case{true, false, 32, 36, 40, 128}}) {
    SCOPED_TRACE(c.wide);
    const KernelLayout layout = LayoutFor(c.wide);
    const uint64_t buffer = c.wide ? 0x00007FF0'12345678ull : 0x12345678u;
    const RequestBlock urb = BuildVendorDeviceRequest(layout, c.in, 0x52, 0x401E, 0x0204, buffer, 59);
    const uint8_t* b = urb.bytes.data();
    EXPECT_EQ(At<uint16_t>(b, 0), layout.urb.size);
    EXPECT_EQ(At<uint16_t>(b, 2), 0x0017);
    EXPECT_EQ(At<uint32_t>(b, c.flags_at), c.in ? 0x3u : 0u);  // in with short transfers allowed; out
    EXPECT_EQ(At<uint32_t>(b, c.buffer_length_at), 59u);
    EXPECT_EQ(c.wide ? At<uint64_t>(b, c.buffer_at) : At<uint32_t>(b, c.buffer_at), buffer);
    EXPECT_EQ(b[c.tail], 0);
    EXPECT_EQ(b[c.tail + 1], 0x52);
    EXPECT_EQ(At<uint16_t>(b, c.tail + 2), 0x401E);
    EXPECT_EQ(At<uint16_t>(b, c.tail + 4), 0x0204);
    EXPECT_EQ(RequestStatus(urb), 0u);
  }
}

}  // namespace
}  // namespace fcp::passthrough
