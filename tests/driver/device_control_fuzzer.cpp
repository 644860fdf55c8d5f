// The device-control entry under arbitrary codes, lengths, control blocks and request blocks, over a
// simulated caller address space. Any kernel-object misuse, leak or memory error is a finding.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  SimKernel kernel;
  drv::DeviceExtension ext;
  drv::LoadDevice(ext, kernel);

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

  const auto access = [&] {
    return static_cast<SimKernel::Access>(in.ConsumeIntegralInRange(0, 2));
  };
  const uint64_t urb_region = kernel.MapCaller(kv::kNativeUrbSize, SimKernel::Access::kReadWrite);
  const uint64_t buffer_region = kernel.MapCaller(in.ConsumeIntegralInRange<size_t>(1, 4096), access());
  std::vector<uint64_t> handles;

  for (int op = 0; op < 16 && in.remaining_bytes() > 0; ++op) {
    // The request block: fuzzed bytes with, most of the time, a plausible head.
    std::vector<uint8_t> urb = in.ConsumeBytes<uint8_t>(kv::kNativeUrbSize);
    urb.resize(kv::kNativeUrbSize);
    if (in.ConsumeBool()) {
      const uint16_t functions[] = {0x0008, 0x000B, 0x0017, 0x001B, 0x0032, 0x0009};
      const uint16_t f = functions[in.ConsumeIntegralInRange(0, 5)];
      const uint16_t length = kv::kNativeUrbSize;
      std::memcpy(&urb[kv::kUrbLengthOffset], &length, 2);
      std::memcpy(&urb[kv::kUrbFunctionOffset], &f, 2);
      const uint64_t buffer = buffer_region + in.ConsumeIntegralInRange<uint64_t>(0, 64);
      std::memcpy(&urb[kv::kNativeUrbLayout.transfer_buffer], &buffer, 8);
    }
    std::memcpy(kernel.CallerBytes(urb_region, urb.size()), urb.data(), urb.size());
    kernel.SetCallerAccess(urb_region, in.ConsumeIntegralInRange(0, 7) == 0 ? access() : SimKernel::Access::kReadWrite);

    kv::ControlRequest request;
    request.interface_handle = in.ConsumeBool() ? interfaces[in.ConsumeIntegralInRange(0, 3)] : in.ConsumeIntegral<uint64_t>();
    request.device_handle = !handles.empty() && in.ConsumeBool() ? handles[in.ConsumeIntegralInRange<size_t>(0, handles.size() - 1)]
                                                                 : in.ConsumeIntegral<uint64_t>();
    request.urb_address = in.ConsumeBool() ? urb_region + in.ConsumeIntegralInRange<uint64_t>(0, 16)
                                           : in.ConsumeIntegral<uint64_t>();
    request.timeout_ms = in.ConsumeIntegral<uint32_t>();
    request.transport_kind = in.ConsumeIntegralInRange<uint32_t>(0, 4);
    const uint32_t codes[] = {kv::kIoctlOpenDevice, kv::kIoctlCloseDevice, kv::kIoctlSubmitUrb, in.ConsumeIntegral<uint32_t>()};
    const uint32_t code = codes[in.ConsumeIntegralInRange(0, 3)];
    const uint32_t block = sizeof(kv::NativeControlBlock);
    const uint32_t input_length = in.ConsumeBool() ? block : in.ConsumeIntegralInRange<uint32_t>(0, 64);
    const uint32_t output_length = in.ConsumeBool() ? block : in.ConsumeIntegralInRange<uint32_t>(0, 64);

    uint8_t system_buffer[64] = {};
    const auto encoded = kv::EncodeControlBlock<kv::NativeControlBlock>(request);
    std::memcpy(system_buffer, &encoded, sizeof encoded);
    uint32_t information = 0;
    const drv::NtStatus status =
        drv::DeviceControl(ext, code, system_buffer, input_length, output_length, &information);
    if (code == kv::kIoctlOpenDevice && status == drv::kStatusSuccess) {
      kv::NativeControlBlock back;
      std::memcpy(&back, system_buffer, sizeof back);
      handles.push_back(kv::DecodeControlBlock(back).device_handle);
    }
    if (information > output_length) std::abort();
  }

  drv::UnloadDevice(ext);
  for (SimKernel::Object* o : std::initializer_list<SimKernel::Object*>{camera, other, whole, function}) {
    if (kernel.References(o) != 1) std::abort();  // a reference leaked or was dropped twice
  }
  if (!kernel.Violations().empty() || kernel.OutstandingAllocations() != 0 || kernel.OutstandingMappings() != 0) {
    std::abort();
  }
  return 0;
}
