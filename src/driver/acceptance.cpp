#include "driver/acceptance.h"

#include "driver/kvxupx_driver.h"
#include "driver/urb_layout.h"
#include "driver/usb_request.h"
#include "driver/wide_text.h"
#include "fcp/maker_ids.h"

namespace fcp::driver {
namespace {

using kvxupx::kNativeUrbLayout;

constexpr const char* kClassesOfKind0[] = {"{6bdd1fc6-810f-11d0-bec7-08002be2092f}",   // Image
                                           "{ca3e7ab9-b4c3-4ae6-8251-579ef933890f}"};  // Camera
constexpr const char* kClassesOfKind1[] = {"{4d36e96c-e325-11ce-bfc1-08002be10318}",   // Media
                                           "{36fc9e60-c465-11cf-8056-444553540000}"};  // USB
constexpr const char* kClassesOfKind2[] = {"{36fc9e60-c465-11cf-8056-444553540000}"};  // USB

// The unit GUIDs as their 16 descriptor bytes, parsed at compile time. (The kernel images are built
// without exceptions, so text/guid.h, whose compile-time parser throws, stays out of them.)
struct GuidBytes {
  uint8_t bytes[16] = {};
  bool ok = false;
};
constexpr int HexValue(char c) {
  return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": text order is big-endian in the first three fields,
// memory order little-endian.
constexpr GuidBytes ParseGuidBytes(const char* text) {
  GuidBytes out;
  constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  uint8_t in_text_order[16] = {};
  int n = 0;
  int i = *text == '{' ? 1 : 0;
  for (; text[i] && text[i] != '}' && n < 16; ++i) {
    if (text[i] == '-') continue;
    const int hi = HexValue(text[i]);
    const int lo = text[i + 1] ? HexValue(text[i + 1]) : -1;
    if (hi < 0 || lo < 0) return out;
    in_text_order[n++] = static_cast<uint8_t>(hi << 4 | lo);
    ++i;
  }
  if (n != 16) return out;
  for (int k = 0; k < 16; ++k) out.bytes[k] = in_text_order[kOrder[k]];
  out.ok = true;
  return out;
}
constexpr GuidBytes kXuGuid1 = ParseGuidBytes(maker::kXuGuid1);
constexpr GuidBytes kXuGuid2 = ParseGuidBytes(maker::kXuGuid2);
static_assert(kXuGuid1.ok && kXuGuid2.ok, "extension unit GUIDs must be GUID texts");

constexpr uint8_t kDescriptorConfiguration = 2;
constexpr uint8_t kDescriptorString = 3;
constexpr uint8_t kDescriptorInterface = 4;
constexpr uint8_t kClassSpecificInterface = 0x24;
constexpr uint8_t kHubNameStringIndex = 0x34;
constexpr uint32_t kGuidTextChars = 64;
constexpr uint32_t kHardwareIdBytes = 2048;

template <size_t N>
bool ClassAccepted(const char16_t* guid, const char* const (&classes)[N]) {
  for (const char* c : classes) {
    if (EqualsIgnoringCase(guid, c)) return true;
  }
  return false;
}

bool ClassFitsKind(const char16_t* guid, uint32_t kind) {
  switch (kind) {
    case 0: return ClassAccepted(guid, kClassesOfKind0);
    case 1: return ClassAccepted(guid, kClassesOfKind1);
    case 2: return ClassAccepted(guid, kClassesOfKind2);
    default: return false;
  }
}

bool HardwareIdsMatchMaker(KernelPort& kernel, KernelObject device) {
  auto* list = static_cast<char16_t*>(kernel.Allocate(kHardwareIdBytes));
  if (!list) return false;
  uint32_t returned = 0;
  bool match = false;
  // Leave room for two terminators of our own, whatever the port wrote.
  const uint32_t usable = kHardwareIdBytes - 2 * sizeof(char16_t);
  if (IsSuccess(kernel.QueryHardwareIds(device, list, usable, &returned))) {
    const uint32_t chars = (returned < usable ? returned : usable) / sizeof(char16_t);
    list[chars] = 0;
    list[chars + 1] = 0;
    for (const char16_t* id = list; *id && !match; ) {
      match = MatchesIgnoringCase(id, maker::kVendorPattern);
      while (*id) ++id;
      ++id;
    }
  }
  kernel.Free(list);
  return match;
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

template <class T>
void Put(uint8_t* urb, size_t offset, T value) {
  __builtin_memcpy(urb + offset, &value, sizeof value);
}
template <class T>
T Get(const uint8_t* urb, size_t offset) {
  T value;
  __builtin_memcpy(&value, urb + offset, sizeof value);
  return value;
}

// The wait of one descriptor read: kDescriptorRequestWaitMs, cut to what is left until `deadline`.
uint32_t DescriptorWait(KernelPort& kernel, uint64_t deadline) {
  if (deadline == kNoDeadline) return kDescriptorRequestWaitMs;
  const uint64_t now = kernel.MonotonicMs();
  if (now >= deadline) return 0;
  return deadline - now < kDescriptorRequestWaitMs ? static_cast<uint32_t>(deadline - now) : kDescriptorRequestWaitMs;
}

// Reads a descriptor of the device into `buffer`; returns the length transferred, 0 on failure. The
// stack works on a transfer of the read's own, never on `buffer`.
uint32_t GetDescriptor(KernelPort& kernel, KernelObject device, uint8_t type, uint8_t index, uint8_t* buffer,
                       uint32_t length, uint64_t deadline = kNoDeadline) {
  const uint32_t wait_ms = DescriptorWait(kernel, deadline);
  if (wait_ms == 0) return 0;
  UsbTransfer* transfer = NewUsbTransfer(kernel, length);
  if (!transfer) return 0;
  uint8_t* urb = transfer->urb;
  Put<uint16_t>(urb, kvxupx::kUrbLengthOffset, kvxupx::kNativeUrbSize);
  Put<uint16_t>(urb, kvxupx::kUrbFunctionOffset, kvxupx::kUrbGetDescriptorFromDevice);
  Put<uint32_t>(urb, kNativeUrbLayout.transfer_buffer_length, length);
  transfer->PointUrbAtBuffer();
  urb[kNativeUrbLayout.tail + 2] = index;
  urb[kNativeUrbLayout.tail + 3] = type;
  const NtStatus status = SendUsbRequestAndWait(kernel, device, &transfer, wait_ms);
  if (!transfer) return 0;  // left to the stack, which ignored its cancel
  uint32_t transferred = 0;
  if (status == kStatusSuccess && Get<uint32_t>(urb, kvxupx::kUrbStatusOffset) == kvxupx::kUsbdStatusSuccess) {
    transferred = Get<uint32_t>(urb, kNativeUrbLayout.transfer_buffer_length);
    if (transferred > length) transferred = 0;
    __builtin_memcpy(buffer, transfer->Buffer(), transferred);
  }
  DeleteUsbTransfer(kernel, transfer);
  return transferred;
}

// Reads the whole configuration descriptor and applies `test` to it.
template <class Test>
bool TestConfiguration(KernelPort& kernel, KernelObject device, Test test, uint64_t deadline = kNoDeadline) {
  uint8_t header[9];
  if (GetDescriptor(kernel, device, kDescriptorConfiguration, 0, header, sizeof header, deadline) < 4) return false;
  const uint16_t total = Le16(header + 2);
  if (total < sizeof header) return false;
  auto* configuration = static_cast<uint8_t*>(kernel.Allocate(total));
  if (!configuration) return false;
  const uint32_t got = GetDescriptor(kernel, device, kDescriptorConfiguration, 0, configuration, total, deadline);
  const bool accepted = got > 0 && test(configuration, got);
  kernel.Free(configuration);
  return accepted;
}

// Calls `visit` for every class-specific interface descriptor in a configuration.
template <class Visit>
bool AnyClassSpecificInterface(const uint8_t* configuration, uint32_t length, Visit visit) {
  uint32_t at = 0;
  while (at + 2 <= length) {
    const uint8_t size = configuration[at];
    if (size < 2 || at + size > length) return false;
    if (configuration[at + 1] == kClassSpecificInterface && size >= 3 && visit(configuration + at, size)) {
      return true;
    }
    at += size;
  }
  return false;
}

}  // namespace

bool HoldsMakerExtensionUnit(const uint8_t* configuration, uint32_t length) {
  return AnyClassSpecificInterface(configuration, length, [](const uint8_t* d, uint8_t size) {
    if (d[2] != 6 || size < 20) return false;
    return __builtin_memcmp(d + 4, kXuGuid1.bytes, 16) == 0 || __builtin_memcmp(d + 4, kXuGuid2.bytes, 16) == 0;
  });
}

bool HoldsMakerVendorId(const uint8_t* configuration, uint32_t length) {
  return AnyClassSpecificInterface(configuration, length, [](const uint8_t* d, uint8_t size) {
    return (d[2] == 8 || d[2] == 9) && size >= 6 && Le16(d + 4) == maker::kUsbVendorId;
  });
}

bool NamesMakerHub(const uint8_t* string_descriptor, uint32_t length) {
  constexpr uint32_t kChars = 6;
  if (length < 2 + 2 * kChars || string_descriptor[0] < 2 + 2 * kChars ||
      string_descriptor[1] != kDescriptorString) {
    return false;
  }
  char16_t name[kChars + 1] = {};
  for (size_t i = 0; i < kChars; ++i) name[i] = Le16(string_descriptor + 2 + 2 * i);
  return EqualsIgnoringCase(name, maker::kHubProduct1) || EqualsIgnoringCase(name, maker::kHubProduct2);
}

bool HoldsInterface(const uint8_t* configuration, uint32_t length, uint8_t interface_number) {
  uint32_t at = 0;
  while (at + 2 <= length) {
    const uint8_t size = configuration[at];
    if (size < 2 || at + size > length) return false;
    if (configuration[at + 1] == kDescriptorInterface && size >= 3 && configuration[at + 2] == interface_number) {
      return true;
    }
    at += size;
  }
  return false;
}

bool DeviceHasInterface(KernelPort& kernel, KernelObject device, uint8_t interface_number, uint64_t deadline) {
  return TestConfiguration(
      kernel, device,
      [interface_number](const uint8_t* configuration, uint32_t length) {
        return HoldsInterface(configuration, length, interface_number);
      },
      deadline);
}

bool AcceptDevice(KernelPort& kernel, KernelObject device, KernelObject function, uint32_t transport_kind) {
  if (transport_kind > 2) return false;
  char16_t guid[kGuidTextChars] = {};
  if (!IsSuccess(kernel.QueryClassGuid(function, guid, kGuidTextChars - 1))) return false;
  guid[kGuidTextChars - 1] = 0;
  if (!ClassFitsKind(guid, transport_kind)) return false;
  if (HardwareIdsMatchMaker(kernel, device)) return true;
  switch (transport_kind) {
    case 0: return TestConfiguration(kernel, device, HoldsMakerExtensionUnit);
    case 1: return TestConfiguration(kernel, device, HoldsMakerVendorId);
    default: {
      uint8_t text[255];
      const uint32_t got = GetDescriptor(kernel, device, kDescriptorString, kHubNameStringIndex, text, sizeof text);
      return NamesMakerHub(text, got);
    }
  }
}

}  // namespace fcp::driver
