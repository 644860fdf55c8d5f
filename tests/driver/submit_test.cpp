// Submissions: the caller's request block checked, forwarded within bounded time, and given back.
#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

#include "driver/usb_request.h"
#include "driver_fixture.h"

namespace fcp::driver::test {
namespace {

class SubmitTest : public DriverTest {
 protected:
  // A submission on a thread of its own, as a caller's thread in the kernel. One still there after
  // the guard fails the test; the stacks then let go of what they hold, so that the thread ends.
  NtStatus SubmitGuarded(uint64_t handle, uint64_t urb, uint32_t timeout_ms, uint64_t opener = 0) {
    std::promise<NtStatus> result;
    std::future<NtStatus> done = result.get_future();
    std::thread caller([&] { result.set_value(SubmitControl(handle, urb, timeout_ms, opener)); });
    if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      ADD_FAILURE() << "the caller's thread is still in the kernel, waiting for the stack";
      kernel_.FinishHeldRequests();
    }
    caller.join();
    return done.get();
  }
};

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
    const int cancelled = kernel_.CancelledRequests();
    const uint64_t start = kernel_.NowMs();
    EXPECT_EQ(SubmitControl(handle, urb.address, c.timeout_ms), c.status);
    EXPECT_EQ(kernel_.NowMs() - start, c.elapsed_ms);
    const bool timed_out = c.status == kStatusTimeout;
    EXPECT_EQ(kernel_.CancelledRequests() - cancelled, timed_out ? 1 : 0);
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
  EXPECT_EQ(0, std::memcmp(kernel_.CallerBytes(urb.buffer, 8), expected_setup, 8));
  EXPECT_EQ(Get<uint32_t>(b, kv::kUrbStatusOffset), kv::kUsbdStatusSuccess);
  EXPECT_EQ(Get<uint32_t>(b, L().transfer_buffer_length), 8u);
  EXPECT_EQ(Get<uint64_t>(b, L().transfer_buffer), urb.buffer);
  EXPECT_EQ(Get<uint64_t>(b, L().device_handle), 0x77u) << "the stack's device handle stays in the kernel";
  for (size_t i = 0; i < L().hca_size; ++i) ASSERT_EQ(b[L().hca + i], 0) << "no kernel scratch data leaks out";

  // What the stack got: the mapped system address, not the caller's.
  const std::vector<uint8_t> sent = kernel_.LastSubmittedUrb();
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
    const std::vector<uint8_t> sent = kernel_.LastSubmittedUrb();
    EXPECT_EQ(Get<uint64_t>(sent.data(), L().pipe_handle), 0u);
    EXPECT_NE(Get<uint32_t>(sent.data(), L().transfer_flags) & kv::kUsbdDefaultPipeTransfer, 0u);
    EXPECT_EQ(Get<uint64_t>(b, L().pipe_handle), 0xFFFF8000'12345678) << "the caller's block keeps its own value";
    EXPECT_EQ(std::vector<uint8_t>(kernel_.CallerBytes(urb.buffer, 18), kernel_.CallerBytes(urb.buffer, 18) + 18),
              usb.device);
  }
}

// Every function the driver forwards, and every kind of block it refuses, next to each other: a
// narrower or wider allow-list, or a looser size test, shows up as a failing row.
TEST_F(SubmitTest, ForwardsEachAllowedFunctionAndRefusesEveryOtherBlock) {
  TestUsbDevice usb;
  const uint64_t handle = Register(PlugCamera(usb));
  using Edit = void (*)(uint8_t* urb);
  const auto control = [](uint8_t* b) {
    const uint8_t setup[8] = {0x80, 6, 0, 1, 0, 0, 18, 0};  // the device descriptor
    std::memcpy(b + L().tail, setup, 8);
  };
  struct Case {
    const char* what;
    uint16_t function;
    Edit edit;
    NtStatus status;
  } cases[] = {
      {"control transfer", kv::kUrbControlTransfer, control, kStatusSuccess},
      {"descriptor from the device", kv::kUrbGetDescriptorFromDevice, [](uint8_t* b) { b[L().tail + 3] = 1; },
       kStatusSuccess},
      {"vendor request to the device", kv::kUrbVendorDevice, [](uint8_t* b) { b[L().tail + 1] = 0x52; },
       kStatusSuccess},
      {"class request to interface 0", kv::kUrbClassInterface, [](uint8_t* b) { b[L().tail + 1] = 0x81; },
       kStatusSuccess},
      {"extended control transfer", kv::kUrbControlTransferEx, control, kStatusSuccess},

      {"bulk or interrupt transfer", 0x0009, nullptr, kStatusNotSupported},
      {"select configuration", 0x0000, nullptr, kStatusNotSupported},
      {"class request to the device", 0x001A, nullptr, kStatusNotSupported},
      {"32-bit block length", kv::kUrbGetDescriptorFromDevice,
       [](uint8_t* b) { Put<uint16_t>(b, kv::kUrbLengthOffset, kv::kUrbSize32); }, kStatusInvalidParameter},
      {"one byte short", kv::kUrbGetDescriptorFromDevice,
       [](uint8_t* b) { Put<uint16_t>(b, kv::kUrbLengthOffset, kv::kNativeUrbSize - 1); }, kStatusInvalidParameter},
      {"one byte long", kv::kUrbGetDescriptorFromDevice,
       [](uint8_t* b) { Put<uint16_t>(b, kv::kUrbLengthOffset, kv::kNativeUrbSize + 1); }, kStatusInvalidParameter},
      {"longest length", kv::kUrbGetDescriptorFromDevice,
       [](uint8_t* b) { Put<uint16_t>(b, kv::kUrbLengthOffset, 0xFFFF); }, kStatusInvalidParameter},
      {"memory descriptor of its own", kv::kUrbGetDescriptorFromDevice,
       [](uint8_t* b) { Put<uint64_t>(b, L().transfer_buffer_mdl, 0x1000); }, kStatusInvalidParameter},
      {"chained block", kv::kUrbGetDescriptorFromDevice, [](uint8_t* b) { Put<uint64_t>(b, L().urb_link, 0x2000); },
       kStatusInvalidParameter},
      {"transfer longer than a control transfer", kv::kUrbGetDescriptorFromDevice,
       [](uint8_t* b) { Put<uint32_t>(b, L().transfer_buffer_length, kMaxTransferLength + 1); },
       kStatusInvalidParameter},
      {"length without a buffer", kv::kUrbGetDescriptorFromDevice,
       [](uint8_t* b) { Put<uint64_t>(b, L().transfer_buffer, 0); }, kStatusInvalidParameter},
      {"class request to an interface the device lacks", kv::kUrbClassInterface,
       [](uint8_t* b) { b[L().tail + 4] = 5; }, kStatusInvalidParameter},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CallerUrb urb = MakeUrb(c.function, 18);
    if (c.edit) c.edit(Urb(urb));
    std::vector<uint16_t> sent;
    kernel_.OnSubmission([&](const uint8_t* b) { sent.push_back(Get<uint16_t>(b, kv::kUrbFunctionOffset)); });
    EXPECT_EQ(SubmitControl(handle, urb.address, 1000), c.status);
    kernel_.OnSubmission(nullptr);
    const bool forwarded = std::count(sent.begin(), sent.end(), c.function) != 0;
    EXPECT_EQ(forwarded, c.status == kStatusSuccess);
    if (c.status == kStatusSuccess) {
      EXPECT_EQ(Get<uint32_t>(Urb(urb), kv::kUrbStatusOffset), kv::kUsbdStatusSuccess);
      EXPECT_EQ(kernel_.LastSubmittedUrb().size(), kv::kNativeUrbSize);
      EXPECT_EQ(Get<uint16_t>(kernel_.LastSubmittedUrb().data(), kv::kUrbLengthOffset), kv::kNativeUrbSize);
    }
  }
}

// Setup packets of the caller's own (control transfers): class and vendor requests, and of the
// standard ones only the reading ones; nothing to the "other" recipients, the ports of a hub.
TEST_F(SubmitTest, ControlTransfersCarryOnlyReadingStandardRequestsAndNothingForHubPorts) {
  TestUsbDevice usb;
  const uint64_t handle = Register(PlugCamera(usb));
  struct Case {
    const char* what;
    uint8_t request_type, request;
    uint16_t index;
    NtStatus status;
  } cases[] = {
      {"GET_DESCRIPTOR of the device", 0x80, 6, 0, kStatusSuccess},
      {"GET_DESCRIPTOR of interface 0", 0x81, 6, 0, kStatusSuccess},
      {"GET_STATUS of the device", 0x80, 0, 0, kStatusSuccess},
      {"GET_STATUS of an endpoint", 0x82, 0, 0x81, kStatusSuccess},
      {"vendor request to the device", 0xC0, 0x52, 0, kStatusSuccess},
      {"class request to interface 0", 0xA1, 0x81, 0x0300, kStatusSuccess},
      {"SET_ADDRESS", 0x00, 5, 0, kStatusNotSupported},
      {"SET_CONFIGURATION", 0x00, 9, 0, kStatusNotSupported},
      {"SET_INTERFACE", 0x01, 11, 0, kStatusNotSupported},
      {"SET_FEATURE of the device", 0x00, 3, 0, kStatusNotSupported},
      {"CLEAR_FEATURE of an endpoint", 0x02, 1, 0x81, kStatusNotSupported},
      {"SET_DESCRIPTOR", 0x00, 7, 0, kStatusNotSupported},
      {"GET_DESCRIPTOR as an OUT request", 0x00, 6, 0, kStatusNotSupported},
      {"SYNCH_FRAME", 0x82, 12, 0x81, kStatusNotSupported},
      {"hub port reset", 0x23, 3, 1, kStatusNotSupported},
      {"hub port status", 0xA3, 0, 1, kStatusNotSupported},
      {"vendor request to other", 0xC3, 0x52, 1, kStatusNotSupported},
      {"reserved recipient", 0xC4, 0x52, 0, kStatusNotSupported},
      {"reserved type", 0xE0, 0x52, 0, kStatusNotSupported},
      {"class request to an interface the device lacks", 0xA1, 0x81, 5, kStatusInvalidParameter},
  };
  for (uint16_t function : {kv::kUrbControlTransfer, kv::kUrbControlTransferEx}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.what << ", function " << function);
      CallerUrb urb = MakeUrb(function, 8);
      const uint8_t setup[8] = {c.request_type, c.request, 0, 1, uint8_t(c.index), uint8_t(c.index >> 8), 8, 0};
      std::memcpy(Urb(urb) + L().tail, setup, 8);
      if (!(c.request_type & 0x80)) Put<uint32_t>(Urb(urb), L().transfer_flags, 0);
      int forwarded = 0;
      kernel_.OnSubmission([&](const uint8_t* b) { forwarded += Get<uint16_t>(b, kv::kUrbFunctionOffset) == function; });
      EXPECT_EQ(SubmitControl(handle, urb.address, 1000), c.status);
      kernel_.OnSubmission(nullptr);
      EXPECT_EQ(forwarded, c.status == kStatusSuccess ? 1 : 0);
    }
  }
  // A packet whose direction or length disagrees with the block's transfer.
  CallerUrb out_flags = MakeUrb(kv::kUrbControlTransfer, 8);
  const uint8_t in_setup[8] = {0x80, 6, 0, 1, 0, 0, 8, 0};
  std::memcpy(Urb(out_flags) + L().tail, in_setup, 8);
  Put<uint32_t>(Urb(out_flags), L().transfer_flags, 0);
  EXPECT_EQ(SubmitControl(handle, out_flags.address, 1000), kStatusInvalidParameter);
  CallerUrb longer = MakeUrb(kv::kUrbControlTransfer, 8);
  const uint8_t long_setup[8] = {0x80, 6, 0, 1, 0, 0, 9, 0};
  std::memcpy(Urb(longer) + L().tail, long_setup, 8);
  EXPECT_EQ(SubmitControl(handle, longer.address, 1000), kStatusInvalidParameter);
}

// Another thread of the caller rewrites the block after the driver's first read of it: what reaches
// the stack is what the driver checked.
TEST_F(SubmitTest, TheStackGetsTheBlockAsCheckedWhateverTheCallerWritesMeanwhile) {
  TestUsbDevice usb;
  const uint64_t handle = Register(PlugCamera(usb));
  const CallerUrb urb = MakeDeviceDescriptorUrb();
  const std::vector<uint8_t> checked(Urb(urb), Urb(urb) + kv::kNativeUrbSize);
  std::vector<uint8_t> rewritten = checked;
  Put<uint16_t>(rewritten.data(), kv::kUrbFunctionOffset, 0x0000);  // select configuration
  Put<uint16_t>(rewritten.data(), kv::kUrbLengthOffset, 0xFFFF);
  Put<uint64_t>(rewritten.data(), L().pipe_handle, 0xFFFF8000'00001000);  // its configuration pointer
  int reads = 0;
  kernel_.OnCallerRead([&](uint64_t address, size_t) {
    if (address == urb.address && reads++ == 0) kernel_.WriteCaller(urb.address, rewritten.data(), rewritten.size());
  });
  ASSERT_EQ(SubmitControl(handle, urb.address, 1000), kStatusSuccess);
  kernel_.OnCallerRead(nullptr);

  const std::vector<uint8_t> sent = kernel_.LastSubmittedUrb();
  EXPECT_EQ(Get<uint16_t>(sent.data(), kv::kUrbFunctionOffset), kv::kUrbGetDescriptorFromDevice);
  EXPECT_EQ(Get<uint16_t>(sent.data(), kv::kUrbLengthOffset), kv::kNativeUrbSize);
  EXPECT_EQ(Get<uint64_t>(sent.data(), L().pipe_handle), 0u);
  EXPECT_EQ(std::vector<uint8_t>(sent.begin() + L().tail, sent.end()),
            std::vector<uint8_t>(checked.begin() + L().tail, checked.end()));
  EXPECT_EQ(kernel_.SubmittedRequests(), 1);
}

// What comes back: the block's status and transfer length and the data of an IN transfer, up to
// its transferred length. Nothing else the stack left in its copy, and nothing into an OUT buffer.
TEST_F(SubmitTest, GivesBackOnlyStatusLengthAndTheTransferredInData) {
  TestUsbDevice usb;
  const uint64_t handle = Register(PlugCamera(usb));
  CallerUrb in = MakeUrb(kv::kUrbVendorDevice, 59);
  Urb(in)[L().tail + 1] = 0x52;
  Put<uint32_t>(Urb(in), L().device_handle + L().pointer_size, 0x77);  // header flags of the caller's own
  std::memset(Urb(in) + L().hca, 0x5A, L().hca_size);
  std::vector<uint8_t> expected(Urb(in), Urb(in) + kv::kNativeUrbSize);
  Put<uint32_t>(expected.data(), L().transfer_buffer_length, 8u);  // the device echoes 8 bytes
  std::memset(kernel_.CallerBytes(in.buffer, 59), 0xEE, 59);

  // While the device works, the caller's other thread writes past what the device will answer.
  usb.Hold();
  NtStatus status = kStatusPending;
  std::thread submitter([&] { status = SubmitControl(handle, in.address, 1000); });
  usb.WaitUntilEntered();
  std::memset(kernel_.CallerBytes(in.buffer + 8, 51), 0x11, 51);
  usb.Release();
  submitter.join();
  ASSERT_EQ(status, kStatusSuccess);
  EXPECT_EQ(std::vector<uint8_t>(Urb(in), Urb(in) + kv::kNativeUrbSize), expected);
  const uint8_t* data = kernel_.CallerBytes(in.buffer, 59);
  EXPECT_EQ(data[0], 0xC0) << "the echoed setup packet";
  EXPECT_EQ(std::count(data + 8, data + 59, 0x11), 51) << "bytes the device did not send stay the caller's";

  // An OUT transfer from memory the caller may only read is sent and left alone.
  CallerUrb out = MakeUrb(kv::kUrbVendorDevice, 16, SimKernel::Access::kRead);
  Put<uint32_t>(Urb(out), L().transfer_flags, 0);
  for (uint8_t i = 0; i < 16; ++i) kernel_.CallerBytes(out.buffer, 16)[i] = uint8_t(0x30 + i);
  EXPECT_EQ(SubmitControl(handle, out.address, 1000), kStatusSuccess);
  EXPECT_EQ(Get<uint32_t>(Urb(out), L().transfer_buffer_length), 16u);
  const uint8_t* sent = kernel_.CallerBytes(out.buffer, 16);
  EXPECT_EQ(usb.last_out, std::vector<uint8_t>(sent, sent + 16)) << "the device gets the caller's bytes";
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
  EXPECT_EQ(Get<uint64_t>(kernel_.LastSubmittedUrb().data(), L().transfer_buffer), 0u);
  EXPECT_EQ(Get<uint64_t>(Urb(empty), L().transfer_buffer), 0x1234u);
}

TEST_F(SubmitTest, FaultsInTheCallersMemoryEndTheSubmissionWithTheirStatus) {
  TestUsbDevice usb;
  SimKernel::DeviceObject* camera = PlugCamera(usb);
  const uint64_t handle = Register(camera);
  using Access = SimKernel::Access;

  CallerUrb read_only = MakeDeviceDescriptorUrb();
  kernel_.SetCallerAccess(read_only.address, Access::kRead);
  EXPECT_EQ(SubmitControl(handle, read_only.address, 1000), kStatusAccessViolation) << "block not writable";

  CallerUrb unmapped = MakeDeviceDescriptorUrb();
  kernel_.SetCallerAccess(unmapped.address, Access::kNone);
  EXPECT_EQ(SubmitControl(handle, unmapped.address, 1000), kStatusAccessViolation) << "block not readable";

  // A block whose end runs past its region.
  const uint64_t small = kernel_.MapCaller(64, Access::kReadWrite);
  std::memcpy(kernel_.CallerBytes(small, 16), Urb(MakeDeviceDescriptorUrb()), 16);
  EXPECT_EQ(SubmitControl(handle, small, 1000), kStatusAccessViolation) << "block runs off its region";

  CallerUrb read_only_buffer = MakeUrb(kv::kUrbGetDescriptorFromDevice, 18, Access::kRead);
  EXPECT_EQ(SubmitControl(handle, read_only_buffer.address, 1000), kStatusAccessViolation);
  CallerUrb short_buffer = MakeDeviceDescriptorUrb();
  Put<uint32_t>(Urb(short_buffer), L().transfer_buffer_length, 4096);
  EXPECT_EQ(SubmitControl(handle, short_buffer.address, 1000), kStatusAccessViolation);
  EXPECT_EQ(kernel_.SubmittedRequests(), 0);

  CallerUrb fine = MakeDeviceDescriptorUrb();
  kernel_.FailAllocationsOfSize(UsbTransferBytes(18));
  EXPECT_EQ(SubmitControl(handle, fine.address, 1000), kStatusInsufficientResources);
  kernel_.FailAllocationsOfSize(0);
  EXPECT_EQ(SubmitControl(handle, fine.address, 1000), kStatusSuccess);

  // A request the kernel could not start reached nothing: the caller's block and buffer stay its own.
  CallerUrb unsent = MakeDeviceDescriptorUrb();
  Put<uint32_t>(Urb(unsent), kv::kUrbStatusOffset, 0x12345678);
  std::memset(kernel_.CallerBytes(unsent.buffer, 18), 0xEE, 18);
  const std::vector<uint8_t> block_before(Urb(unsent), Urb(unsent) + kv::kNativeUrbSize);
  camera->start_fails = true;
  EXPECT_EQ(SubmitControl(handle, unsent.address, 1000), kStatusInsufficientResources);
  camera->start_fails = false;
  EXPECT_EQ(std::vector<uint8_t>(Urb(unsent), Urb(unsent) + kv::kNativeUrbSize), block_before);
  EXPECT_EQ(std::count(kernel_.CallerBytes(unsent.buffer, 18), kernel_.CallerBytes(unsent.buffer, 18) + 18, 0xEE), 18);
}

TEST_F(SubmitTest, StalledRequestReportsTheStacksStatus) {
  TestUsbDevice usb;
  const uint64_t handle = Register(PlugCamera(usb));
  CallerUrb urb = MakeDeviceDescriptorUrb();
  Urb(urb)[L().tail + 3] = 9;  // a descriptor type the device does not have
  EXPECT_EQ(SubmitControl(handle, urb.address, 1000), kStatusUnsuccessful);
  EXPECT_EQ(Get<uint32_t>(Urb(urb), kv::kUrbStatusOffset), kv::kUsbdStatusStallPid);
}

// Fields that belong to the stack never carry the caller's values, and the reserved bits that the
// stack ORs into a vendor or class request's bmRequestType must be 0.
TEST_F(SubmitTest, StackFieldsAreClearedAndRequestTypeReservedBitsRefused) {
  TestUsbDevice usb;
  const uint64_t handle = Register(PlugCamera(usb));
  for (uint16_t function : {kv::kUrbVendorDevice, kv::kUrbClassInterface}) {
    for (uint8_t bits : {0x03, 0x04, 0x20, 0x60, 0x80, 0x01}) {
      SCOPED_TRACE(testing::Message() << "function " << function << " reserved bits " << int(bits));
      CallerUrb urb = MakeUrb(function, 8);
      Urb(urb)[L().tail] = bits;
      const int sent = kernel_.SubmittedRequests();
      EXPECT_EQ(SubmitControl(handle, urb.address, 1000), kStatusInvalidParameter);
      EXPECT_EQ(kernel_.SubmittedRequests(), sent);
    }
  }

  const uint32_t usbd_flags_at = L().device_handle + L().pointer_size;
  for (uint16_t function : {kv::kUrbVendorDevice, kv::kUrbGetDescriptorFromDevice, kv::kUrbControlTransfer}) {
    SCOPED_TRACE(testing::Message() << "function " << function);
    CallerUrb urb = MakeUrb(function, 8);
    uint8_t* b = Urb(urb);
    const uint8_t setup[8] = {0xC0, 0x52, 0, 0, 0, 0, 8, 0};
    std::memcpy(b + L().tail, setup, 8);
    if (function != kv::kUrbControlTransfer) b[L().tail] = 0;
    if (function == kv::kUrbGetDescriptorFromDevice) {
      Put<uint16_t>(b, L().tail, 0x5A5A);  // Reserved1
      b[L().tail + 3] = 1;
    }
    Put<uint16_t>(b, L().tail + 6, function == kv::kUrbControlTransfer ? 8 : 0xA5A5);  // wLength / reserved
    Put<uint32_t>(b, usbd_flags_at, 0xFFFFFFFF);
    Put<uint32_t>(b, L().transfer_flags, 0xFFFFFFF0 | kv::kUsbdTransferDirectionIn | kv::kUsbdShortTransferOk);
    Put<uint64_t>(b, L().pipe_handle, 0x1000);
    ASSERT_EQ(SubmitControl(handle, urb.address, 1000), kStatusSuccess);
    const std::vector<uint8_t> sent = kernel_.LastSubmittedUrb();
    EXPECT_EQ(Get<uint32_t>(sent.data(), usbd_flags_at), 0u);
    const uint32_t pipe = function == kv::kUrbControlTransfer ? kv::kUsbdDefaultPipeTransfer : 0;
    EXPECT_EQ(Get<uint32_t>(sent.data(), L().transfer_flags),
              kv::kUsbdTransferDirectionIn | kv::kUsbdShortTransferOk | pipe);
    EXPECT_EQ(Get<uint64_t>(sent.data(), L().pipe_handle), 0u);
    if (function != kv::kUrbControlTransfer) {
      EXPECT_EQ(Get<uint16_t>(sent.data(), L().tail + 6), 0u);
    }
    if (function == kv::kUrbGetDescriptorFromDevice) {
      EXPECT_EQ(Get<uint16_t>(sent.data(), L().tail), 0u);
    }
  }
}

// A hub registered for the chip behind it takes what this system sends there and nothing else.
TEST_F(SubmitTest, RegisteredHubTakesOnlyDescriptorReadsAndVendorRequests) {
  TestUsbDevice usb;
  SimKernel::DeviceObject* hub = kernel_.PlugDevice(usb, SimKernel::kUsbClass, {MakerHardwareId()});
  const uint64_t handle = Register(hub, 1);  // first as a plain device of the maker
  EXPECT_EQ(Register(hub, 2), handle);       // then as a hub: the rule holds for the handle from now on
  struct Case {
    const char* what;
    uint16_t function;
    uint8_t setup[8];
    NtStatus status;
  } cases[] = {
      {"device descriptor", kv::kUrbGetDescriptorFromDevice, {0, 0, 0, 1, 0, 0, 0, 0}, kStatusSuccess},
      {"vendor request", kv::kUrbVendorDevice, {0, 0x52, 0, 0, 0, 0, 0, 0}, kStatusSuccess},
      {"SET_HUB_DEPTH", kv::kUrbControlTransfer, {0x20, 12, 1, 0, 0, 0, 0, 0}, kStatusNotSupported},
      {"CLEAR_HUB_FEATURE", kv::kUrbControlTransferEx, {0x20, 1, 0, 0, 0, 0, 0, 0}, kStatusNotSupported},
      {"vendor request as a control transfer", kv::kUrbControlTransfer, {0xC0, 0x52, 0, 0, 0, 0, 8, 0},
       kStatusNotSupported},
      {"GET_DESCRIPTOR as a control transfer", kv::kUrbControlTransfer, {0x80, 6, 0, 1, 0, 0, 8, 0},
       kStatusNotSupported},
      {"class request to interface 0", kv::kUrbClassInterface, {0, 0x81, 0, 0, 0, 0, 0, 0}, kStatusNotSupported},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CallerUrb urb = MakeUrb(c.function, 8);
    std::memcpy(Urb(urb) + L().tail, c.setup, 8);
    if (c.setup[0] == 0x20) Put<uint32_t>(Urb(urb), L().transfer_flags, 0);
    const int sent = kernel_.SubmittedRequests();
    EXPECT_EQ(SubmitControl(handle, urb.address, 1000), c.status);
    EXPECT_EQ(kernel_.SubmittedRequests() - sent, c.status == kStatusSuccess ? 1 : 0);
  }
}

// The descriptor reads that check an interface come out of the submission's own time: the whole
// submission ends within the caller's timeout (raised to 300 ms, cut to 60 s).
TEST_F(SubmitTest, WholeSubmissionWithItsDescriptorReadsEndsWithinTheTimeout) {
  struct Case {
    uint32_t timeout_ms;
    uint32_t latency_ms;
    uint64_t elapsed_ms;
  } cases[] = {
      {12000, 4999, 12000},  // two reads, then the request runs out
      {5000, 4000, 5000},    // the second read runs out
      {0, 200, 300},         // the shortest wait
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "timeout " << c.timeout_ms << " latency " << c.latency_ms);
    TestUsbDevice usb;
    const uint64_t handle = Register(PlugCamera(usb));
    usb.latency_ms = c.latency_ms;
    CallerUrb urb = MakeUrb(kv::kUrbClassInterface, 8);
    Urb(urb)[L().tail + 1] = 0x81;
    const uint64_t start = kernel_.NowMs();
    EXPECT_EQ(SubmitControl(handle, urb.address, c.timeout_ms), kStatusTimeout);
    EXPECT_EQ(kernel_.NowMs() - start, c.elapsed_ms);
    EXPECT_EQ(CloseDeviceControl(handle), kStatusSuccess);
  }
}

// The device is pulled, and the registration and the interface closed, while the driver reads the
// caller's block: the submission still holds the registration, so the stack under it stays, and
// nothing is sent to the removed device.
TEST_F(SubmitTest, RemovalDuringTheCallersBlockReadSendsNothing) {
  TestUsbDevice usb;
  SimKernel::DeviceObject* camera = PlugCamera(usb);
  const uint64_t interface = kernel_.OpenInterface(camera);
  uint64_t handle = 0;
  ASSERT_EQ(OpenDeviceControl(interface, 0, &handle), kStatusSuccess);
  CallerUrb urb = MakeUrb(kv::kUrbVendorDevice, 8);
  bool pulled = false;
  kernel_.OnCallerRead([&](uint64_t address, size_t) {
    if (address != urb.address || pulled) return;
    pulled = true;
    kernel_.Unplug(camera);
    EXPECT_EQ(CloseDeviceControl(handle), kStatusSuccess);
    kernel_.CloseInterface(interface);
  });
  const int requests = usb.requests;
  EXPECT_EQ(SubmitControl(handle, urb.address, 1000), kStatusDeviceRemoved);
  kernel_.OnCallerRead(nullptr);
  EXPECT_TRUE(pulled);
  EXPECT_EQ(usb.requests, requests);
  EXPECT_EQ(kernel_.SubmittedRequests(), 0);
  EXPECT_EQ(kernel_.References(camera), 0);
  EXPECT_EQ(kernel_.OutstandingWatches(), 0);
}

// A stack that ignores the cancel keeps the request, not the caller: the submission ends one cancel
// wait after its timeout, and the request with its memory is left to the stack, whose completion,
// whenever it comes, frees it and reaches nothing of the caller's.
TEST_F(SubmitTest, AStackIgnoringTheCancelKeepsTheRequestButNotTheCaller) {
  struct Case {
    const char* what;
    uint16_t function;
    bool silent;
    uint32_t latency_ms;
    uint64_t elapsed_ms;
    bool left_to_the_stack;
    bool sent;  // the caller's request reached the stack (not only the interface check's reads)
  } cases[] = {
      {"silent device", kv::kUrbVendorDevice, true, 0, 5000 + kCancelWaitMs, true, true},
      {"device answering much later", kv::kUrbVendorDevice, false, 30000, 5000 + kCancelWaitMs, true, true},
      {"device answering during the cancel wait", kv::kUrbVendorDevice, false, 5000 + kCancelWaitMs / 2,
       5000 + kCancelWaitMs / 2, false, true},
      {"descriptor read checking the interface", kv::kUrbClassInterface, true, 0, 5000 + kCancelWaitMs, true, false},
      // Two reads of 2400 ms leave the request 200 ms: the whole submission still ends one cancel
      // wait after the caller's timeout.
      {"class request after its descriptor reads", kv::kUrbClassInterface, false, 2400, 5000 + kCancelWaitMs, true,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestUsbDevice usb;
    SimKernel::DeviceObject* camera = PlugCamera(usb);
    camera->ignores_cancel = true;
    const uint64_t handle = Register(camera);
    usb.silent = c.silent;
    usb.latency_ms = c.latency_ms;
    CallerUrb urb = MakeUrb(c.function, 8);
    Urb(urb)[L().tail + 1] = 0x52;
    std::memset(kernel_.CallerBytes(urb.buffer, 8), 0xEE, 8);
    const std::vector<uint8_t> block_before(Urb(urb), Urb(urb) + kv::kNativeUrbSize);
    const uint64_t start = kernel_.NowMs();
    EXPECT_EQ(SubmitGuarded(handle, urb.address, 5000), kStatusTimeout);
    EXPECT_EQ(kernel_.NowMs() - start, c.elapsed_ms);
    EXPECT_EQ(kernel_.AbandonedRequests(), c.left_to_the_stack ? 1 : 0);
    if (!c.sent) {
      EXPECT_EQ(std::vector<uint8_t>(Urb(urb), Urb(urb) + kv::kNativeUrbSize), block_before);
    } else if (c.left_to_the_stack) {
      EXPECT_EQ(Get<uint32_t>(Urb(urb), kv::kUrbStatusOffset), kv::kUsbdStatusCanceled);
      EXPECT_EQ(Get<uint32_t>(Urb(urb), L().transfer_buffer_length), 0u);
    }

    // The stack lets go at last; what it then writes stays in the request's own memory.
    kernel_.FinishHeldRequests();
    EXPECT_EQ(kernel_.AbandonedRequests(), 0);
    EXPECT_EQ(kernel_.OutstandingAllocations(), 0);
    if (c.left_to_the_stack) {
      EXPECT_EQ(std::count(kernel_.CallerBytes(urb.buffer, 8), kernel_.CallerBytes(urb.buffer, 8) + 8, 0xEE), 8);
    }
    EXPECT_EQ(CloseDeviceControl(handle), kStatusSuccess);
    EXPECT_EQ(kernel_.References(camera), 1);
  }
}

// The request left to the stack holds a device reference of its own: the registration, the
// interface, the device and the driver may all go before the stack completes it.
TEST_F(SubmitTest, ARequestLeftToTheStackOutlivesItsRegistrationTheDeviceAndTheDriver) {
  TestUsbDevice usb;
  usb.silent = true;
  SimKernel::DeviceObject* camera = PlugCamera(usb);
  camera->ignores_cancel = true;
  const uint64_t interface = kernel_.OpenInterface(camera, 1);
  const uint64_t opener = kernel_.OpenDriver(1);
  uint64_t handle = 0;
  ASSERT_EQ(OpenDeviceControl(interface, 0, &handle, opener), kStatusSuccess);
  CallerUrb urb = MakeUrb(kv::kUrbGetDescriptorFromDevice, 18);
  Urb(urb)[L().tail + 3] = 1;
  EXPECT_EQ(SubmitGuarded(handle, urb.address, 0, opener), kStatusTimeout);
  EXPECT_EQ(kernel_.AbandonedRequests(), 1);

  kernel_.ExitProcess(1);
  kernel_.Unplug(camera);
  kernel_.UnloadDriver();
  EXPECT_EQ(kernel_.References(camera), 1) << "the abandoned request's own";
  EXPECT_EQ(kernel_.OutstandingAllocations(), 1) << "the abandoned request's memory";
  kernel_.FinishHeldRequests();
  EXPECT_EQ(kernel_.References(camera), 0);
  EXPECT_EQ(kernel_.OutstandingAllocations(), 0);
}

}  // namespace
}  // namespace fcp::driver::test
