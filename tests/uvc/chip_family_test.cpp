#include <gtest/gtest.h>

#include <cwchar>

#include "fake_ports.h"
#include "fcp/maker_ids.h"
#include "uvc/uvc.h"

namespace fcp::uvc::test {
namespace {

TEST(ChipFamily, LookupWalksTheTable) {
  for (uint32_t pid : fcp::maker::kPidsVzq2201) EXPECT_STREQ(LookupChipFamily(static_cast<uint16_t>(pid)), L"VZQ2201");
  for (uint32_t pid : fcp::maker::kPidsVzq2202) EXPECT_STREQ(LookupChipFamily(static_cast<uint16_t>(pid)), L"VZQ2202");
  for (uint32_t pid : fcp::maker::kPidsVzq2203) EXPECT_STREQ(LookupChipFamily(static_cast<uint16_t>(pid)), L"VZQ2203");
  // Product ID 0 is in no family, though empty slots hold 0.
  EXPECT_EQ(LookupChipFamily(0), nullptr);
  EXPECT_EQ(LookupChipFamily(static_cast<uint16_t>(fcp::maker::kPidsVzq2202[0] + 0x100)), nullptr);
}

TEST(ChipFamily, TheTestReadsTheCurrentCamerasStatusBlock) {
  FakePorts ports;
  auto& camera = ports.AddCamera(0xFC01, 0x0A01, 0, L"6&1&0&0000", L"001.001.000.000.000.000");
  auto with_chip = [&](uint32_t pid) {
    camera.status[2] = static_cast<uint8_t>(pid);
    camera.status[3] = static_cast<uint8_t>(pid >> 8);
    EXPECT_TRUE(UVC_OpenByIndex(0));
    return UVC_IsVZQ2202();
  };
  for (uint32_t pid : fcp::maker::kPidsVzq2202) EXPECT_EQ(with_chip(pid), 1) << pid;
  EXPECT_EQ(with_chip(fcp::maker::kPidsVzq2201[1]), 0);
  EXPECT_EQ(with_chip(fcp::maker::kPidsVzq2203[5]), 0);
  EXPECT_EQ(with_chip(0), 0);
  EXPECT_EQ(with_chip(0x1234), 0);
  // The chip's own report counts, not the product ID in the device path (0x0A01 here); and with no
  // camera current the test fails.
  EXPECT_EQ(with_chip(fcp::maker::kPidsVzq2202[0]), 1);
  UVC_Close();
  EXPECT_EQ(UVC_IsVZQ2202(), 0);
}

}  // namespace
}  // namespace fcp::uvc::test
