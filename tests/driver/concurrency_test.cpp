// Requests arriving at once from several threads.
#include <set>
#include <thread>

#include "driver_fixture.h"

namespace fcp::driver::test {
namespace {

using ConcurrencyTest = DriverTest;

TEST_F(ConcurrencyTest, ConcurrentOpensTakeDistinctSlotsAndRefCountEndsRight) {
  constexpr int kThreads = 48;
  int files[kThreads];
  std::atomic<int> created{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      if (CreateHandle(ext_, &files[i]) == kStatusSuccess) ++created;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(created, kOpenerSlots);
  std::set<KernelObject> distinct(std::begin(ext_.openers), std::end(ext_.openers));
  EXPECT_EQ(distinct.size(), size_t(kOpenerSlots)) << "no slot taken twice";
  EXPECT_EQ(kernel_.RegistryDword(kServiceKey, kRefCountValue), uint32_t(kOpenerSlots));

  threads.clear();
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      CloseHandle(ext_, &files[i]);
      CloseHandle(ext_, &files[i]);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ext_.open_count, 0);
  EXPECT_EQ(kernel_.RegistryDword(kServiceKey, kRefCountValue), 0u);
}

TEST_F(ConcurrencyTest, ConcurrentRegistrationsOfOneCameraBalance) {
  TestUsbDevice usb;
  SimKernel::DeviceObject* camera = PlugCamera(usb);
  std::vector<uint64_t> interfaces;
  for (int i = 0; i < 8; ++i) interfaces.push_back(kernel_.OpenInterface(camera));
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  const KernelObject file = kernel_.DriverFile(Opener());
  for (uint64_t interface : interfaces) {
    threads.emplace_back([&, interface] {
      for (int round = 0; round < 20; ++round) {
        uint64_t handle = 0;
        if (OpenDevice(ext_, file, interface, 0, &handle) != kStatusSuccess ||
            CloseDevice(ext_, file, handle) != kStatusSuccess) {
          ++failures;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(kernel_.References(camera), 1);
  EXPECT_EQ(ext_.high_water, -1);
}

TEST_F(ConcurrencyTest, CloseDeviceRacingASubmissionLeavesTheDeviceAliveUntilTheSubmissionEnds) {
  TestUsbDevice usb;
  SimKernel::DeviceObject* camera = PlugCamera(usb);
  const uint64_t handle = Register(camera);
  const CallerUrb urb = MakeDeviceDescriptorUrb();

  usb.Hold();
  NtStatus submitted = kStatusPending;
  std::thread submitter([&] { submitted = SubmitControl(handle, urb.address, 5000); });
  usb.WaitUntilEntered();
  // While the device works on the request: the last registration goes, and the device is unplugged.
  EXPECT_EQ(CloseDeviceControl(handle), kStatusSuccess);
  kernel_.Unplug(camera);
  EXPECT_EQ(kernel_.References(camera), 1) << "the submission's own reference";
  usb.Release();
  submitter.join();

  EXPECT_EQ(submitted, kStatusNoSuchDevice) << "the stack fails what it still held for the removed device";
  EXPECT_EQ(kernel_.References(camera), 0);
  EXPECT_EQ(SubmitControl(handle, urb.address, 5000), kStatusInvalidParameter);
}

}  // namespace
}  // namespace fcp::driver::test
