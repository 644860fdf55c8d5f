// The device-control entry under arbitrary codes, lengths, control blocks and request blocks, over a
// simulated caller address space, from two processes that may exit at any point, while a thread of
// the caller keeps rewriting the request block. Any kernel-object misuse, leak, memory error or
// request block reaching the USB stack that the driver should have refused is a finding.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "driver/kvxupx_driver.h"
#include "driver/kvxupx_ioctl.h"
#include "driver/urb_layout.h"
#include "fcp/maker_ids.h"
#include "sim/kernel/sim_kernel.h"

namespace {

using fcp::sim::kernel::ControlAnswer;
using fcp::sim::SetupPacket;
using fcp::sim::kernel::SimKernel;
namespace kv = fcp::kvxupx;
namespace drv = fcp::driver;

// A device whose every answer (descriptors included) comes from the fuzzer's bytes.
class FuzzedDevice : public fcp::sim::kernel::ControlPipe {
 public:
  explicit FuzzedDevice(FuzzedDataProvider& in) : in_(in) {}
  ControlAnswer ControlTransfer(const SetupPacket& setup, uint8_t* data) override {
    const uint8_t mode = in_.ConsumeIntegralInRange<uint8_t>(0, 9);
    if (mode == 0) return {ControlAnswer::kStall, 0, 1};
    if (mode == 1) return {ControlAnswer::kNoAnswer, 0, 0};
    const std::vector<uint8_t> bytes = in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange<size_t>(0, setup.wLength));
    if (setup.IsDeviceToHost() && !bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    return {ControlAnswer::kDone, uint32_t(bytes.size()), in_.ConsumeIntegralInRange<uint32_t>(0, 70000)};
  }

 private:
  FuzzedDataProvider& in_;
};

template <class T>
T Field(const uint8_t* urb, size_t offset) {
  T value;
  std::memcpy(&value, urb + offset, sizeof value);
  return value;
}

// What the driver may let reach the USB stack, whatever the caller wrote and when.
void CheckForwarded(const uint8_t* urb) {
  const auto& l = kv::kNativeUrbLayout;
  const uint16_t function = Field<uint16_t>(urb, kv::kUrbFunctionOffset);
  const bool allowed = function == kv::kUrbControlTransfer || function == kv::kUrbGetDescriptorFromDevice ||
                       function == kv::kUrbVendorDevice || function == kv::kUrbClassInterface ||
                       function == kv::kUrbControlTransferEx;
  if (!allowed || Field<uint16_t>(urb, kv::kUrbLengthOffset) != kv::kNativeUrbSize) std::abort();
  if (Field<uintptr_t>(urb, l.transfer_buffer_mdl) != 0 || Field<uintptr_t>(urb, l.device_handle) != 0) std::abort();
  if (kv::UrbHasLink(function) && Field<uintptr_t>(urb, l.urb_link) != 0) std::abort();
  const uint32_t length = Field<uint32_t>(urb, l.transfer_buffer_length);
  const uintptr_t buffer = Field<uintptr_t>(urb, l.transfer_buffer);
  if (length > 0xFFFF || (length != 0) != (buffer != 0)) std::abort();
  if (buffer != 0 && buffer < 0x10000000) std::abort();  // a caller address reached the stack
  // Fields of the stack's own: the header's flags, undefined transfer flags, the Reserved pointer
  // and reserved words of the tail.
  if (Field<uint32_t>(urb, l.device_handle + l.pointer_size) != 0 || Field<uintptr_t>(urb, l.pipe_handle) != 0) {
    std::abort();
  }
  if ((Field<uint32_t>(urb, l.transfer_flags) & ~uint32_t{0xB}) != 0) std::abort();
  if (function == kv::kUrbGetDescriptorFromDevice &&
      (Field<uint16_t>(urb, l.tail) != 0 || Field<uint16_t>(urb, l.tail + 6) != 0)) {
    std::abort();
  }
  // Every function that carries a request type: the stack ORs a vendor or class block's reserved
  // bits into bmRequestType, so they must be 0 (and its Reserved1 word too).
  if ((function == kv::kUrbVendorDevice || function == kv::kUrbClassInterface) &&
      (urb[l.tail] != 0 || Field<uint16_t>(urb, l.tail + 6) != 0)) {
    std::abort();
  }
  if (kv::UrbNamesPipe(function)) {
    const uint8_t request_type = urb[l.tail];
    const uint8_t request = urb[l.tail + 1];
    if ((request_type & 0x1F) > 2 || (request_type & 0x60) == 0x60) std::abort();
    if ((request_type & 0x60) == 0 && (!(request_type & 0x80) || (request != 0 && request != 6))) std::abort();
    if (Field<uintptr_t>(urb, l.pipe_handle) != 0) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  SimKernel kernel;
  drv::DeviceExtension ext;
  kernel.LoadDriver(ext);
  kernel.OnSubmission(CheckForwarded);

  FuzzedDevice usb(in);
  std::string pattern = fcp::maker::kVendorPattern;
  pattern.pop_back();
  const std::u16string maker_id(pattern.begin(), pattern.end());
  const char16_t* classes[] = {SimKernel::kCameraClass, SimKernel::kImageClass, SimKernel::kMediaClass,
                               SimKernel::kUsbClass};
  SimKernel::DeviceObject* camera = kernel.PlugDevice(usb, SimKernel::kCameraClass, {maker_id});
  SimKernel::DeviceObject* other = kernel.PlugDevice(usb, classes[in.ConsumeIntegralInRange(0, 3)], {u"USB\\X"});
  SimKernel::DeviceObject* whole = kernel.PlugComposite(usb, {in.ConsumeBool() ? maker_id : u"USB\\Y"});
  SimKernel::DeviceObject* function = kernel.AddFunction(whole, classes[in.ConsumeIntegralInRange(0, 3)], {});
  const uint64_t interfaces[] = {kernel.OpenInterface(camera), kernel.OpenInterface(other),
                                 kernel.OpenInterface(function), kernel.OpenInterface(whole)};
  // Stacks that ignore cancels keep what the driver leaves them until the end; some requests cannot
  // even be started.
  for (SimKernel::DeviceObject* d : {camera, other, whole, function}) {
    d->ignores_cancel = in.ConsumeBool();
    d->start_fails = in.ConsumeIntegralInRange(0, 15) == 0;
  }

  const auto access = [&] {
    return static_cast<SimKernel::Access>(in.ConsumeIntegralInRange(0, 2));
  };
  const uint64_t urb_region = kernel.MapCaller(kv::kNativeUrbSize, SimKernel::Access::kReadWrite);
  const uint64_t buffer_region = kernel.MapCaller(in.ConsumeIntegralInRange<size_t>(1, 4096), access());
  std::vector<uint64_t> handles;
  // Two processes with a handle of the driver's device each; either may exit and come back.
  uint64_t openers[2] = {kernel.OpenDriver(1), kernel.OpenDriver(2)};

  // The caller's other thread: rewrites parts of the request block (its header most often), over
  // and over.
  struct Rewrite {
    size_t offset;
    std::vector<uint8_t> bytes;
  };
  std::vector<Rewrite> rewrites;
  for (int n = in.ConsumeIntegralInRange(0, 3); n > 0; --n) {
    const size_t offset = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<size_t>(0, kv::kNativeUrbSize - 1);
    std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(1, 16));
    bytes.resize(std::min(bytes.size(), kv::kNativeUrbSize - offset));
    if (!bytes.empty()) rewrites.push_back({offset, std::move(bytes)});
  }
  // Both processes start with the camera registered, so most inputs reach the submission path.
  for (uint64_t opener : openers) {
    auto block = kv::EncodeControlBlock<kv::NativeControlBlock>({.interface_handle = interfaces[0]});
    uint32_t information = 0;
    if (kernel.DriverControl(opener, kv::kIoctlOpenDevice, &block, sizeof block, sizeof block, &information) ==
        drv::kStatusSuccess) {
      handles.push_back(kv::DecodeControlBlock(block).device_handle);
    }
  }

  // The same thread caught at the worst moments: right after each read of the block by the driver.
  size_t next_rewrite = 0;
  kernel.OnCallerRead([&](uint64_t address, size_t) {
    if (address != urb_region || rewrites.empty()) return;
    const Rewrite& r = rewrites[next_rewrite++ % rewrites.size()];
    kernel.WriteCaller(urb_region + r.offset, r.bytes.data(), r.bytes.size());
  });

  std::atomic<bool> stop{false};
  std::thread rewriter([&] {
    for (size_t i = 0; !rewrites.empty() && !stop.load(); ++i) {
      const Rewrite& r = rewrites[i % rewrites.size()];
      kernel.WriteCaller(urb_region + r.offset, r.bytes.data(), r.bytes.size());
      std::this_thread::yield();
    }
  });

  for (int op = 0; op < 16 && in.remaining_bytes() > 0; ++op) {
    // The request block: now and then raw bytes; mostly a well-formed block with fuzzed fields, the
    // way user mode builds them, so that many reach the device.
    std::vector<uint8_t> urb(kv::kNativeUrbSize);
    // Choices fall to the well-formed side when the input runs out (the provider then answers 0).
    if (in.ConsumeIntegralInRange(0, 7) == 7) {
      const std::vector<uint8_t> raw = in.ConsumeBytes<uint8_t>(kv::kNativeUrbSize);
      std::copy(raw.begin(), raw.end(), urb.begin());
    } else {
      const auto& l = kv::kNativeUrbLayout;
      const uint16_t functions[] = {0x0008, 0x000B, 0x0017, 0x001B, 0x0032, 0x0009};
      const uint16_t f = functions[in.ConsumeIntegralInRange(0, 5)];
      const uint16_t length = in.ConsumeIntegralInRange(0, 15) == 15 ? in.ConsumeIntegral<uint16_t>() : kv::kNativeUrbSize;
      const uint32_t flags = in.ConsumeIntegralInRange<uint32_t>(0, 3);
      const uint32_t transfer_length = in.ConsumeIntegralInRange<uint32_t>(0, 80);
      const uint64_t buffer = transfer_length ? buffer_region + in.ConsumeIntegralInRange<uint64_t>(0, 64) : 0;
      std::memcpy(&urb[kv::kUrbLengthOffset], &length, 2);
      std::memcpy(&urb[kv::kUrbFunctionOffset], &f, 2);
      std::memcpy(&urb[l.transfer_flags], &flags, 4);
      std::memcpy(&urb[l.transfer_buffer_length], &transfer_length, 4);
      std::memcpy(&urb[l.transfer_buffer], &buffer, sizeof(uintptr_t));
      const std::vector<uint8_t> tail = in.ConsumeBytes<uint8_t>(8);
      std::copy(tail.begin(), tail.end(), urb.begin() + l.tail);
    }
    kernel.WriteCaller(urb_region, urb.data(), urb.size());
    kernel.SetCallerAccess(urb_region, in.ConsumeIntegralInRange(0, 7) == 7 ? access() : SimKernel::Access::kReadWrite);

    kv::ControlRequest request;
    request.interface_handle = in.ConsumeIntegralInRange(0, 3) != 3 ? interfaces[in.ConsumeIntegralInRange(0, 3)]
                                                                    : in.ConsumeIntegral<uint64_t>();
    request.device_handle = !handles.empty() && in.ConsumeIntegralInRange(0, 3) != 3
                                ? handles[in.ConsumeIntegralInRange<size_t>(0, handles.size() - 1)]
                                : in.ConsumeIntegral<uint64_t>();
    const int address_kind = in.ConsumeIntegralInRange(0, 7);
    request.urb_address = address_kind < 6    ? urb_region
                          : address_kind == 6 ? urb_region + in.ConsumeIntegralInRange<uint64_t>(1, 16)
                                              : in.ConsumeIntegral<uint64_t>();
    request.timeout_ms = in.ConsumeIntegral<uint32_t>();
    request.transport_kind = in.ConsumeIntegralInRange<uint32_t>(0, 4);
    const uint32_t codes[] = {kv::kIoctlSubmitUrb, kv::kIoctlOpenDevice, kv::kIoctlCloseDevice, in.ConsumeIntegral<uint32_t>()};
    const int pick = in.ConsumeIntegralInRange(0, 5);
    const uint32_t code = codes[pick < 3 ? 0 : pick - 2];  // submissions three times as often as the others
    const uint32_t block = sizeof(kv::NativeControlBlock);
    const uint32_t input_length = in.ConsumeIntegralInRange(0, 7) != 7 ? block : in.ConsumeIntegralInRange<uint32_t>(0, 64);
    const uint32_t output_length = in.ConsumeIntegralInRange(0, 7) != 7 ? block : in.ConsumeIntegralInRange<uint32_t>(0, 64);

    const int process = in.ConsumeIntegralInRange(0, 1);
    if (in.ConsumeIntegralInRange(0, 15) == 15) {  // the process ends and starts again
      kernel.ExitProcess(process + 1);
      openers[process] = kernel.OpenDriver(process + 1);
    }
    uint8_t system_buffer[64] = {};
    const auto encoded = kv::EncodeControlBlock<kv::NativeControlBlock>(request);
    std::memcpy(system_buffer, &encoded, sizeof encoded);
    uint32_t information = 0;
    const drv::NtStatus status =
        kernel.DriverControl(openers[process], code, system_buffer, input_length, output_length, &information);
    if (code == kv::kIoctlOpenDevice && status == drv::kStatusSuccess) {
      kv::NativeControlBlock back;
      std::memcpy(&back, system_buffer, sizeof back);
      handles.push_back(kv::DecodeControlBlock(back).device_handle);
    }
    if (information > output_length) std::abort();
  }

  stop = true;
  rewriter.join();
  kernel.ExitProcess(1);
  kernel.ExitProcess(2);
  if (ext.open_count != 0 || ext.high_water != -1) std::abort();  // the exits released everything
  kernel.UnloadDriver();
  kernel.FinishHeldRequests();  // what the stacks kept goes now, with its memory and references
  for (SimKernel::Object* o : std::initializer_list<SimKernel::Object*>{camera, other, whole, function}) {
    if (kernel.References(o) != 1) std::abort();  // a reference leaked or was dropped twice
  }
  if (!kernel.Violations().empty() || kernel.OutstandingAllocations() != 0 || kernel.OutstandingWatches() != 0) {
    std::abort();
  }
  return 0;
}
