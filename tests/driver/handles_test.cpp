// Handles of the driver's device, the open count and "RefCount".
#include "driver_fixture.h"

namespace fcp::driver::test {
namespace {

using HandlesTest = DriverTest;

std::optional<uint32_t> RefCount(const SimKernel& k) { return k.RegistryDword(kServiceKey, kRefCountValue); }

TEST_F(HandlesTest, RefCountFollowsCreateCleanupAndCloseUpToThirtyTwoHandles) {
  EXPECT_EQ(RefCount(kernel_), 0u) << "load writes 0";
  int files[kOpenerSlots + 1];
  for (int i = 0; i < kOpenerSlots; ++i) {
    ASSERT_EQ(CreateHandle(ext_, &files[i]), kStatusSuccess);
    EXPECT_EQ(RefCount(kernel_), uint32_t(i + 1));
  }
  EXPECT_EQ(CreateHandle(ext_, &files[kOpenerSlots]), kStatusUnsuccessful) << "33rd open";
  EXPECT_EQ(RefCount(kernel_), 32u);
  EXPECT_EQ(ext_.open_count, 32);

  // Cleanup and close of one handle both arrive; only the first counts.
  EXPECT_EQ(CloseHandle(ext_, &files[5]), kStatusSuccess);
  EXPECT_EQ(CloseHandle(ext_, &files[5]), kStatusSuccess);
  EXPECT_EQ(RefCount(kernel_), 31u);
  // A handle that never got a slot closes without effect; its slot is now free for a new open.
  EXPECT_EQ(CloseHandle(ext_, &files[kOpenerSlots]), kStatusSuccess);
  EXPECT_EQ(RefCount(kernel_), 31u);
  EXPECT_EQ(CreateHandle(ext_, &files[kOpenerSlots]), kStatusSuccess);
  EXPECT_EQ(RefCount(kernel_), 32u);

  for (int i = 0; i <= kOpenerSlots; ++i) CloseHandle(ext_, &files[i]);
  EXPECT_EQ(RefCount(kernel_), 0u);
  EXPECT_EQ(ext_.open_count, 0);
}

}  // namespace
}  // namespace fcp::driver::test
