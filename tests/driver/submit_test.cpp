// Submissions: the caller's request block checked, forwarded within bounded time, and given back.
#include "driver_fixture.h"

namespace fcp::driver::test {
namespace {

using SubmitTest = DriverTest;

TEST_F(SubmitTest, WaitIsBoundedAndASilentDeviceEndsInTimeoutWithTheRequestCancelled) {
  struct Case {
    uint32_t timeout_ms;
    bool silent;
    uint32_t latency_ms;
    NtStatus status;
    uint64_t elapsed_ms;
  } cases[] = {
      {0, true, 0, kStatusTimeout, 300},
      {120000, true, 0, kStatusTimeout, 60000},
      {5000, true, 0, kStatusTimeout, 5000},
      {0, false, 300, kStatusSuccess, 300},
      {0, false, 301, kStatusTimeout, 300},
      {120000, false, 59000, kStatusSuccess, 59000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "timeout " << c.timeout_ms << " latency " << c.latency_ms);
    TestUsbDevice usb;
    const uint64_t handle = Register(PlugCamera(usb));
    usb.silent = c.silent;
    usb.latency_ms = c.latency_ms;
    const CallerUrb urb = MakeDeviceDescriptorUrb();
    const int cancelled = kernel.CancelledRequests();
    const uint64_t start = kernel.NowMs();
    EXPECT_EQ(SubmitControl(handle, urb.address, c.timeout_ms), c.status);
    EXPECT_EQ(kernel.NowMs() - start, c.elapsed_ms);
    const bool timed_out = c.status == kStatusTimeout;
    EXPECT_EQ(kernel.CancelledRequests() - cancelled, timed_out ? 1 : 0);
    // The caller judges by the block: a cancelled request says so and moved nothing.
    EXPECT_EQ(Get<uint32_t>(Urb(urb), kv::kUrbStatusOffset), timed_out ? kv::kUsbdStatusCanceled : 0u);
    EXPECT_EQ(Get<uint32_t>(Urb(urb), L().transfer_buffer_length), timed_out ? 0u : 18u);
    EXPECT_EQ(CloseDeviceControl(handle), kStatusSuccess);
  }
}

TEST_F(SubmitTest, VendorRequestReachesTheDeviceAndComesBackWithTheCallersAddresses) {
  TestUsbDevice usb;
  const uint64_t handle = Register(PlugCamera(usb));
  CallerUrb urb = MakeUrb(kv::kUrbVendorDevice, 59);
  uint8_t* b = Urb(urb);
  b[L().tail + 1] = 0x52;
  Put<uint16_t>(b, L().tail + 2, 0x1234);
  Put<uint16_t>(b, L().tail + 4, 0x0005);
  Put<uint64_t>(b, L().device_handle, 0x77);
  ASSERT_EQ(SubmitControl(handle, urb.address, 5000), kStatusSuccess);

  const uint8_t expected_setup[8] = {0xC0, 0x52, 0x34, 0x12, 0x05, 0x00, 59, 0};
  EXPECT_EQ(0, std::memcmp(kernel.CallerBytes(urb.buffer, 8), expected_setup, 8));
  EXPECT_EQ(Get<uint32_t>(b, kv::kUrbStatusOffset), kv::kUsbdStatusSuccess);
  EXPECT_EQ(Get<uint32_t>(b, L().transfer_buffer_length), 8u);
  EXPECT_EQ(Get<uint64_t>(b, L().transfer_buffer), urb.buffer);
  EXPECT_EQ(Get<uint64_t>(b, L().device_handle), 0x77u) << "the stack's device handle stays in the kernel";
  for (size_t i = 0; i < L().hca_size; ++i) ASSERT_EQ(b[L().hca + i], 0) << "no kernel scratch data leaks out";

  // What the stack got: the mapped system address, not the caller's.
  const std::vector<uint8_t> sent = kernel.LastSubmittedUrb();
  EXPECT_NE(Get<uint64_t>(sent.data(), L().transfer_buffer), urb.buffer);
  EXPECT_EQ(Get<uint64_t>(sent.data(), L().device_handle), 0u);
}

TEST_F(SubmitTest, ControlTransfersGoToTheDefaultPipeWhateverPipeTheCallerNames) {
  TestUsbDevice usb;
  const uint64_t handle = Register(PlugCamera(usb));
  for (uint16_t function : {kv::kUrbControlTransfer, kv::kUrbControlTransferEx}) {
    CallerUrb urb = MakeUrb(function, 18);
    uint8_t* b = Urb(urb);
    Put<uint64_t>(b, L().pipe_handle, 0xFFFF8000'12345678);
    const uint8_t setup[8] = {0x80, 6, 0, 1, 0, 0, 18, 0};
    std::memcpy(b + L().tail, setup, 8);
    if (function == kv::kUrbControlTransferEx) Put<uint32_t>(b, L().urb_link, 2000);  // Timeout, not a link
    ASSERT_EQ(SubmitControl(handle, urb.address, 1000), kStatusSuccess) << function;
    const std::vector<uint8_t> sent = kernel.LastSubmittedUrb();
    EXPECT_EQ(Get<uint64_t>(sent.data(), L().pipe_handle), 0u);
    EXPECT_NE(Get<uint32_t>(sent.data(), L().transfer_flags) & kv::kUsbdDefaultPipeTransfer, 0u);
    EXPECT_EQ(Get<uint64_t>(b, L().pipe_handle), 0xFFFF8000'12345678) << "the caller's block keeps its own value";
    EXPECT_EQ(std::vector<uint8_t>(kernel.CallerBytes(urb.buffer, 18), kernel.CallerBytes(urb.buffer, 18) + 18),
              usb.device);
  }
}

TEST_F(SubmitTest, RefusesRequestBlocksTheDriverMustNotForward) {
  TestUsbDevice usb;
  const uint64_t handle = Register(PlugCamera(usb));
  struct Case {
    const char* what;
    void (*edit)(uint8_t* urb);
    NtStatus status;
  } cases[] = {
      {"bulk or interrupt transfer", [](uint8_t* b) { Put<uint16_t>(b, kv::kUrbFunctionOffset, 0x0009); },
       kStatusNotSupported},
      {"select configuration", [](uint8_t* b) { Put<uint16_t>(b, kv::kUrbFunctionOffset, 0x0000); },
       kStatusNotSupported},
      {"32-bit block length", [](uint8_t* b) { Put<uint16_t>(b, kv::kUrbLengthOffset, kv::kUrbSize32); },
       kStatusInvalidParameter},
      {"memory descriptor of its own", [](uint8_t* b) { Put<uint64_t>(b, L().transfer_buffer_mdl, 0x1000); },
       kStatusInvalidParameter},
      {"chained block", [](uint8_t* b) { Put<uint64_t>(b, L().urb_link, 0x2000); }, kStatusInvalidParameter},
      {"transfer longer than a control transfer",
       [](uint8_t* b) { Put<uint32_t>(b, L().transfer_buffer_length, kMaxTransferLength + 1); },
       kStatusInvalidParameter},
      {"length without a buffer", [](uint8_t* b) { Put<uint64_t>(b, L().transfer_buffer, 0); },
       kStatusInvalidParameter},
  };
  for (const Case& c : cases) {
    CallerUrb urb = MakeDeviceDescriptorUrb();
    c.edit(Urb(urb));
    EXPECT_EQ(SubmitControl(handle, urb.address, 1000), c.status) << c.what;
  }
  EXPECT_EQ(kernel.SubmittedRequests(), 0);
}

TEST_F(SubmitTest, LongestTransferAndEmptyTransferAreForwarded) {
  TestUsbDevice usb;
  const uint64_t handle = Register(PlugCamera(usb));
  CallerUrb longest = MakeUrb(kv::kUrbVendorDevice, kMaxTransferLength);
  EXPECT_EQ(SubmitControl(handle, longest.address, 1000), kStatusSuccess);
  CallerUrb empty = MakeUrb(kv::kUrbVendorDevice, 0);
  Put<uint64_t>(Urb(empty), L().transfer_buffer, 0x1234);  // an address with no length is not passed on
  Put<uint32_t>(Urb(empty), L().transfer_flags, 0);
  EXPECT_EQ(SubmitControl(handle, empty.address, 1000), kStatusSuccess);
  EXPECT_EQ(Get<uint64_t>(kernel.LastSubmittedUrb().data(), L().transfer_buffer), 0u);
  EXPECT_EQ(Get<uint64_t>(Urb(empty), L().transfer_buffer), 0x1234u);
}

TEST_F(SubmitTest, FaultsInTheCallersMemoryEndTheSubmissionWithTheirStatus) {
  TestUsbDevice usb;
  const uint64_t handle = Register(PlugCamera(usb));
  using Access = SimKernel::Access;

  CallerUrb read_only = MakeDeviceDescriptorUrb();
  kernel.SetCallerAccess(read_only.address, Access::kRead);
  EXPECT_EQ(SubmitControl(handle, read_only.address, 1000), kStatusAccessViolation) << "block not writable";

  CallerUrb unmapped = MakeDeviceDescriptorUrb();
  kernel.SetCallerAccess(unmapped.address, Access::kNone);
  EXPECT_EQ(SubmitControl(handle, unmapped.address, 1000), kStatusAccessViolation) << "block not readable";

  // A block whose end runs past its region.
  const uint64_t small = kernel.MapCaller(64, Access::kReadWrite);
  std::memcpy(kernel.CallerBytes(small, 16), Urb(MakeDeviceDescriptorUrb()), 16);
  EXPECT_EQ(SubmitControl(handle, small, 1000), kStatusAccessViolation) << "block runs off its region";

  CallerUrb read_only_buffer = MakeUrb(kv::kUrbGetDescriptorFromDevice, 18, Access::kRead);
  EXPECT_EQ(SubmitControl(handle, read_only_buffer.address, 1000), kStatusAccessViolation);
  CallerUrb short_buffer = MakeDeviceDescriptorUrb();
  Put<uint32_t>(Urb(short_buffer), L().transfer_buffer_length, 4096);
  EXPECT_EQ(SubmitControl(handle, short_buffer.address, 1000), kStatusAccessViolation);
  EXPECT_EQ(kernel.SubmittedRequests(), 0);

  CallerUrb fine = MakeDeviceDescriptorUrb();
  kernel.FailMappings(true);
  EXPECT_EQ(SubmitControl(handle, fine.address, 1000), kStatusInsufficientResources);
  kernel.FailMappings(false);
  kernel.FailAllocationsOfSize(2 * kv::kNativeUrbSize);
  EXPECT_EQ(SubmitControl(handle, fine.address, 1000), kStatusInsufficientResources);
  kernel.FailAllocationsOfSize(0);
  EXPECT_EQ(SubmitControl(handle, fine.address, 1000), kStatusSuccess);
}

TEST_F(SubmitTest, StalledRequestReportsTheStacksStatus) {
  TestUsbDevice usb;
  const uint64_t handle = Register(PlugCamera(usb));
  CallerUrb urb = MakeDeviceDescriptorUrb();
  Urb(urb)[L().tail + 3] = 9;  // a descriptor type the device does not have
  EXPECT_EQ(SubmitControl(handle, urb.address, 1000), kStatusUnsuccessful);
  EXPECT_EQ(Get<uint32_t>(Urb(urb), kv::kUrbStatusOffset), kv::kUsbdStatusStallPid);
}

}  // namespace
}  // namespace fcp::driver::test
