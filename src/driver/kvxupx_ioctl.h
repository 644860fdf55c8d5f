// The I/O-control interface of the KvxUpx pass-through driver, shared by the driver and user mode:
// control codes, the two layouts of the control block and the sizes of the USB request blocks.
// Header-only and freestanding, so the kernel images can include it too.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace fcp::kvxupx {

// CTL_CODE(device type, function, METHOD_BUFFERED, FILE_ANY_ACCESS).
inline constexpr uint32_t kDeviceType = 0x22;
constexpr uint32_t ControlCode(uint32_t function) { return kDeviceType << 16 | function << 2; }

inline constexpr uint32_t kIoctlCloseDevice = ControlCode(0xB11);
inline constexpr uint32_t kIoctlSubmitUrb = ControlCode(0xB12);
inline constexpr uint32_t kIoctlOpenDevice = ControlCode(0xB13);
static_assert(kIoctlCloseDevice == 0x222C44 && kIoctlSubmitUrb == 0x222C48 &&
              kIoctlOpenDevice == 0x222C4C);

// Control block read by a 32-bit kernel (x86 image).
struct ControlBlock32 {
  uint32_t reserved0;
  uint32_t interface_handle;
  uint32_t handle_low;
  uint32_t handle_high;
  uint32_t urb_address;
  uint32_t timeout_ms;
  uint32_t transport_kind;
  uint32_t reserved1;
};

// Control block read by a 64-bit kernel (x64 and ARM64 images); a 32-bit process on 64-bit Windows
// builds this one too.
struct ControlBlock64 {
  uint64_t reserved0;
  uint64_t interface_handle;
  uint32_t handle_low;
  uint32_t handle_high;
  uint64_t urb_address;
  uint32_t timeout_ms;
  uint32_t transport_kind;
};

static_assert(sizeof(ControlBlock32) == 32 && offsetof(ControlBlock32, interface_handle) == 4 &&
              offsetof(ControlBlock32, handle_low) == 8 && offsetof(ControlBlock32, handle_high) == 12 &&
              offsetof(ControlBlock32, urb_address) == 16 && offsetof(ControlBlock32, timeout_ms) == 20 &&
              offsetof(ControlBlock32, transport_kind) == 24);
static_assert(sizeof(ControlBlock64) == 40 && offsetof(ControlBlock64, interface_handle) == 8 &&
              offsetof(ControlBlock64, handle_low) == 16 && offsetof(ControlBlock64, handle_high) == 20 &&
              offsetof(ControlBlock64, urb_address) == 24 && offsetof(ControlBlock64, timeout_ms) == 32 &&
              offsetof(ControlBlock64, transport_kind) == 36);

// The block as the driver reads it, whatever the layout.
struct ControlRequest {
  uint64_t interface_handle = 0;
  uint64_t device_handle = 0;
  uint64_t urb_address = 0;
  uint32_t timeout_ms = 0;
  uint32_t transport_kind = 0;
};

template <class Block>
constexpr Block EncodeControlBlock(const ControlRequest& r) {
  Block b{};
  b.interface_handle = static_cast<decltype(b.interface_handle)>(r.interface_handle);
  b.handle_low = static_cast<uint32_t>(r.device_handle);
  b.handle_high = static_cast<uint32_t>(r.device_handle >> 32);
  b.urb_address = static_cast<decltype(b.urb_address)>(r.urb_address);
  b.timeout_ms = r.timeout_ms;
  b.transport_kind = r.transport_kind;
  return b;
}

template <class Block>
constexpr ControlRequest DecodeControlBlock(const Block& b) {
  ControlRequest r;
  r.interface_handle = b.interface_handle;
  r.device_handle = uint64_t(b.handle_high) << 32 | b.handle_low;
  r.urb_address = b.urb_address;
  r.timeout_ms = b.timeout_ms;
  r.transport_kind = b.transport_kind;
  return r;
}

// USB request block sizes (Hdr.Length) for 4-byte and 8-byte pointers.
inline constexpr uint16_t kUrbSize32 = 80;
inline constexpr uint16_t kUrbSize64 = 136;

// What this build's kernel reads: the layout of its own word size.
using NativeControlBlock = std::conditional_t<sizeof(void*) == 8, ControlBlock64, ControlBlock32>;
inline constexpr uint16_t kNativeUrbSize = sizeof(void*) == 8 ? kUrbSize64 : kUrbSize32;

}  // namespace fcp::kvxupx
