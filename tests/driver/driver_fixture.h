// A driver loaded on the simulated kernel, small USB devices to plug into it, and helpers that speak
// to the driver the way user mode does: control blocks and request blocks in the caller's memory.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "driver/kvxupx_driver.h"
#include "driver/kvxupx_ioctl.h"
#include "driver/urb_layout.h"
#include "fcp/maker_ids.h"
#include "sim/kernel/sim_kernel.h"
#include "text/guid.h"

namespace fcp::driver::test {

using sim::kernel::ControlAnswer;
using sim::SetupPacket;
using sim::kernel::SimKernel;
namespace kv = fcp::kvxupx;

inline std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }
inline std::u16string MakerHardwareId() {  // a hardware ID the maker's vendor pattern matches
  std::string pattern = maker::kVendorPattern;
  pattern.pop_back();  // the trailing '*'
  return Wide(pattern + "&PID_0001&REV_0100");
}
inline const std::u16string kForeignHardwareId = u"USB\\VID_0BAD&PID_0001&REV_0100";

// Descriptor bytes.
inline std::vector<uint8_t> DeviceDescriptor(uint16_t vid, uint16_t pid) {
  return {18, 1, 0x00, 0x02, 0xEF, 0x02, 0x01, 64, uint8_t(vid), uint8_t(vid >> 8), uint8_t(pid), uint8_t(pid >> 8),
          0x00, 0x01, 1, 2, 0, 1};
}
inline std::vector<uint8_t> ExtensionUnit(const std::array<uint8_t, 16>& guid) {
  std::vector<uint8_t> d = {26, 0x24, 6, 3};
  d.insert(d.end(), guid.begin(), guid.end());
  d.insert(d.end(), {1, 1, 2, 1, 0, 0});
  return d;
}
inline std::vector<uint8_t> VendorDescriptor(uint8_t subtype, uint16_t vid) {
  return {7, 0x24, subtype, 0, uint8_t(vid), uint8_t(vid >> 8), 0};
}
inline std::vector<uint8_t> Configuration(std::vector<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> c = {9, 2, 0, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0x0E, 1, 0, 0};
  for (auto& p : parts) c.insert(c.end(), p.begin(), p.end());
  c[2] = uint8_t(c.size());
  c[3] = uint8_t(c.size() >> 8);
  return c;
}
inline std::vector<uint8_t> StringDescriptor(const std::string& text) {
  std::vector<uint8_t> d = {uint8_t(2 + 2 * text.size()), 3};
  for (char c : text) d.insert(d.end(), {uint8_t(c), 0});
  return d;
}

// A USB device answering standard get-descriptor requests from tables, and vendor requests by
// echoing its setup packet. It can be slow, silent, or hold a request until the test lets it go.
class TestUsbDevice : public sim::kernel::ControlPipe {
 public:
  std::vector<uint8_t> device = DeviceDescriptor(0x0BAD, 0x0001);
  std::vector<uint8_t> configuration = Configuration({});
  std::map<uint8_t, std::vector<uint8_t>> strings;
  uint32_t latency_ms = 1;
  bool silent = false;

  ControlAnswer ControlTransfer(const SetupPacket& setup, uint8_t* data) override {
    ++requests;
    WaitIfHeld();
    if (silent) return {ControlAnswer::kNoAnswer, 0, 0};
    if (setup.bmRequestType == 0x80 && setup.bRequest == 6) {
      const std::vector<uint8_t>* table = nullptr;
      const uint8_t type = uint8_t(setup.wValue >> 8);
      if (type == 1) table = &device;
      if (type == 2) table = &configuration;
      if (type == 3 && strings.count(uint8_t(setup.wValue))) table = &strings[uint8_t(setup.wValue)];
      if (!table) return {ControlAnswer::kStall, 0, latency_ms};
      const uint32_t n = std::min<uint32_t>(setup.wLength, uint32_t(table->size()));
      std::memcpy(data, table->data(), n);
      return {ControlAnswer::kDone, n, latency_ms};
    }
    if ((setup.bmRequestType & 0x60) == 0x40 && setup.IsDeviceToHost()) {
      const uint8_t echo[8] = {setup.bmRequestType, setup.bRequest, uint8_t(setup.wValue), uint8_t(setup.wValue >> 8),
                               uint8_t(setup.wIndex), uint8_t(setup.wIndex >> 8), uint8_t(setup.wLength),
                               uint8_t(setup.wLength >> 8)};
      const uint32_t n = std::min<uint32_t>(setup.wLength, 8);
      std::memcpy(data, echo, n);
      return {ControlAnswer::kDone, n, latency_ms};
    }
    last_out.assign(data, data + setup.wLength);
    return {ControlAnswer::kDone, setup.wLength, latency_ms};
  }

  // Holding: the next request blocks inside the device until Release().
  void Hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void WaitUntilEntered() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return entered_; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    held_ = false;
    cv_.notify_all();
  }
  std::atomic<int> requests{0};
  std::vector<uint8_t> last_out;  // the data of the last OUT request

 private:
  void WaitIfHeld() {
    std::unique_lock lock(mutex_);
    if (!held_) return;
    entered_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return !held_; });
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  bool held_ = false;
  bool entered_ = false;
};

// A camera of the maker as the virtual workstation would show it: found by its hardware IDs.
inline void MakeMakerCamera(TestUsbDevice& usb) {
  usb.device = DeviceDescriptor(maker::kUsbVendorId, 0x0001);
  usb.configuration = Configuration({ExtensionUnit(text::GuidOf(maker::kXuGuid1).Bytes())});
}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override { kernel_.LoadDriver(ext_); }
  void TearDown() override {
    kernel_.UnloadDriver();
    EXPECT_EQ(kernel_.Violations(), std::vector<std::string>{});
    EXPECT_EQ(kernel_.OutstandingAllocations(), 0);
    EXPECT_EQ(kernel_.OutstandingWatches(), 0);
  }

  // A maker camera on the root hub and the handle of its interface.
  SimKernel::DeviceObject* PlugCamera(TestUsbDevice& usb) {
    MakeMakerCamera(usb);
    return kernel_.PlugDevice(usb, SimKernel::kCameraClass, {MakerHardwareId()});
  }

  // The test's own handle of the driver's device, opened on first use.
  uint64_t Opener() {
    if (!opener_) opener_ = kernel_.OpenDriver();
    return opener_;
  }

  // Requests through `opener` (a handle of the driver's device; 0: the test's own).
  NtStatus Control(uint32_t code, kv::ControlRequest request, uint32_t in = sizeof(kv::NativeControlBlock),
                   uint32_t out = 0, kv::ControlRequest* answer = nullptr, uint64_t opener = 0) {
    uint8_t buffer[64] = {};
    const auto block = kv::EncodeControlBlock<kv::NativeControlBlock>(request);
    std::memcpy(buffer, &block, sizeof block);
    uint32_t information = 0;
    const NtStatus status = kernel_.DriverControl(opener ? opener : Opener(), code, buffer, in, out, &information);
    if (answer) {
      kv::NativeControlBlock back;
      std::memcpy(&back, buffer, sizeof back);
      *answer = kv::DecodeControlBlock(back);
    }
    return status;
  }
  NtStatus OpenDeviceControl(uint64_t interface_handle, uint32_t kind, uint64_t* handle, uint64_t opener = 0) {
    kv::ControlRequest answer;
    const NtStatus status = Control(kv::kIoctlOpenDevice, {.interface_handle = interface_handle, .transport_kind = kind},
                                    sizeof(kv::NativeControlBlock), sizeof(kv::NativeControlBlock), &answer, opener);
    *handle = answer.device_handle;
    return status;
  }
  uint64_t Register(SimKernel::DeviceObject* device, uint32_t kind = 0, uint64_t opener = 0) {
    uint64_t handle = 0;
    EXPECT_EQ(OpenDeviceControl(kernel_.OpenInterface(device), kind, &handle, opener), kStatusSuccess);
    return handle;
  }
  NtStatus CloseDeviceControl(uint64_t handle, uint64_t opener = 0) {
    return Control(kv::kIoctlCloseDevice, {.device_handle = handle}, sizeof(kv::NativeControlBlock), 0, nullptr,
                   opener);
  }
  NtStatus SubmitControl(uint64_t handle, uint64_t urb, uint32_t timeout_ms, uint64_t opener = 0) {
    return Control(kv::kIoctlSubmitUrb, {.device_handle = handle, .urb_address = urb, .timeout_ms = timeout_ms},
                   sizeof(kv::NativeControlBlock), 0, nullptr, opener);
  }

  // A request block in the caller's memory, built as user mode builds it.
  struct CallerUrb {
    uint64_t address = 0;
    uint64_t buffer = 0;
  };
  CallerUrb MakeUrb(uint16_t function, uint32_t length, SimKernel::Access buffer_access = SimKernel::Access::kReadWrite) {
    CallerUrb u;
    u.address = kernel_.MapCaller(kv::kNativeUrbSize, SimKernel::Access::kReadWrite);
    if (length) u.buffer = kernel_.MapCaller(length, buffer_access);
    uint8_t* b = Urb(u);
    Put<uint16_t>(b, kv::kUrbLengthOffset, kv::kNativeUrbSize);
    Put<uint16_t>(b, kv::kUrbFunctionOffset, function);
    Put<uint32_t>(b, L().transfer_flags, kv::kUsbdTransferDirectionIn);
    Put<uint32_t>(b, L().transfer_buffer_length, length);
    Put<uint64_t>(b, L().transfer_buffer, u.buffer);
    return u;
  }
  CallerUrb MakeDeviceDescriptorUrb() {
    CallerUrb u = MakeUrb(kv::kUrbGetDescriptorFromDevice, 18);
    Urb(u)[L().tail + 3] = 1;
    return u;
  }
  uint8_t* Urb(const CallerUrb& u) { return kernel_.CallerBytes(u.address, kv::kNativeUrbSize); }
  static const kv::UrbLayout& L() { return kv::kNativeUrbLayout; }

  template <class T>
  static void Put(uint8_t* p, size_t offset, T v) {
    std::memcpy(p + offset, &v, sizeof v);
  }
  template <class T>
  static T Get(const uint8_t* p, size_t offset) {
    T v;
    std::memcpy(&v, p + offset, sizeof v);
    return v;
  }

  SimKernel kernel_;
  DeviceExtension ext_;
  uint64_t opener_ = 0;
};

}  // namespace fcp::driver::test
