#include "uvc/device_text.h"

#include <gtest/gtest.h>

#include <optional>

namespace fcp::uvc {
namespace {

TEST(DeviceText, DeviceIdFromPath) {
  // The text before the last '#', from the first "usb" on, '#' turned into '\'.
  EXPECT_EQ(DeviceIdFromPath(L"\\\\?\\usb#vid_fc01&pid_0a01&mi_00#6&1a2b&0&0000#{e5323777-f976}\\global"),
            L"usb\\vid_fc01&pid_0a01&mi_00\\6&1a2b&0&0000");
  // "usb" is searched case-sensitively: an upper-case path keeps its whole text before the last '#'.
  EXPECT_EQ(DeviceIdFromPath(L"\\\\?\\USB#VID_FC01&PID_0A01#5&1#{x}"), L"\\\\?\\USB\\VID_FC01&PID_0A01\\5&1");
  EXPECT_EQ(DeviceIdFromPath(L"\\\\?\\root#image#0000#{x}"), L"\\\\?\\root\\image\\0000");
  // No '#' at all: no identifier.
  EXPECT_EQ(DeviceIdFromPath(L"usb-vid_fc01"), L"");
  EXPECT_EQ(DeviceIdFromPath(L""), L"");
  EXPECT_EQ(DeviceIdFromPath(L"#"), L"");
  // "usb" only after the last '#' is not found in the kept part.
  EXPECT_EQ(DeviceIdFromPath(L"ab#cd#usb"), L"ab\\cd");
}

TEST(DeviceText, HexAndDecimalFields) {
  const std::wstring path = L"\\\\?\\USB#VID_FC01&PID_0A1F&MI_00#X#{Y}\\GLOBAL";
  EXPECT_EQ(HexFieldAfter(path, L"VID", 4), std::optional<uint16_t>(0xFC01));
  EXPECT_EQ(HexFieldAfter(path, L"PID_", 4), std::optional<uint16_t>(0x0A1F));
  // Reading stops at the first non-hex character.
  EXPECT_EQ(HexFieldAfter(L"VID_12G4", L"VID", 4), std::optional<uint16_t>(0x12));
  // Missing key, nothing after it, or no digit: no value (and never a read past the end).
  EXPECT_EQ(HexFieldAfter(L"\\\\?\\USB#PID_0A1F", L"VID", 4), std::nullopt);
  EXPECT_EQ(HexFieldAfter(L"XXVID", L"VID", 4), std::nullopt);
  EXPECT_EQ(HexFieldAfter(L"VID_", L"VID", 4), std::nullopt);
  EXPECT_EQ(HexFieldAfter(L"VID_Z", L"VID", 4), std::nullopt);
  EXPECT_EQ(HexFieldAfter(L"VID_F", L"VID", 4), std::optional<uint16_t>(0xF));

  EXPECT_EQ(DecimalFieldAfter(L"USB\\VID_FC01&PID_0A01&REV_0100&MI_00", L"REV_"), std::optional<uint16_t>(100));
  EXPECT_EQ(DecimalFieldAfter(L"USB\\VID_1&REV_010A&MI_00", L"REV_"), std::optional<uint16_t>(10));
  EXPECT_EQ(DecimalFieldAfter(L"USB\\VID_1&REV_99999", L"REV_"), std::optional<uint16_t>(9999));
  EXPECT_EQ(DecimalFieldAfter(L"USB\\VID_1&PID_2", L"REV_"), std::nullopt);
  EXPECT_EQ(DecimalFieldAfter(L"REV_", L"REV_"), std::nullopt);
}

TEST(DeviceText, DeviceNameFromHardwareId) {
  EXPECT_EQ(DeviceNameFromHardwareId(L"USB\\VID_FC01&PID_0A01&REV_0100&MI_00"),
            std::optional<std::wstring>(L"VID_FC01&PID_0A01&REV_0100"));
  // Without an interface suffix the last six characters still go: the name is cut inside the revision.
  EXPECT_EQ(DeviceNameFromHardwareId(L"USB\\VID_FC01&PID_0A01&REV_0100"),
            std::optional<std::wstring>(L"VID_FC01&PID_0A01&RE"));
  EXPECT_EQ(DeviceNameFromHardwareId(L"USB\\&MI_00"), std::optional<std::wstring>(L""));
  EXPECT_EQ(DeviceNameFromHardwareId(L"USB\\MI_00"), std::nullopt);
  EXPECT_EQ(DeviceNameFromHardwareId(L""), std::nullopt);
}

TEST(DeviceText, LocationTail) {
  EXPECT_EQ(LocationTail(L"Port_#0003.Hub_#0001.001.003.000.000.000.000"), L"001.003.000.000.000.000");
  EXPECT_EQ(LocationTail(L"001.003"), L"001.003");
}

}  // namespace
}  // namespace fcp::uvc
