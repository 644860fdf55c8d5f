#include "text/usb_device_names.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace fcp::text {
namespace {

struct LocationCase {
  std::vector<uint8_t> ports;
  const char* location;
};

TEST(UsbDeviceNames, LocationIsTheFirstSixPortsFromTheRoot) {
  const LocationCase cases[] = {
      {{2}, "002.000.000.000.000.000"},
      {{1, 3}, "001.003.000.000.000.000"},
      {{1, 2, 3, 4, 5, 6}, "001.002.003.004.005.006"},
      {{1, 2, 3, 4, 5, 6, 7, 8}, "001.002.003.004.005.006"},  // deeper than six hubs
      {{255, 128, 10, 99, 100, 0}, "255.128.010.099.100.000"},
      {{}, "000.000.000.000.000.000"},
  };
  for (const LocationCase& c : cases) {
    char location[kLocationTextLength + 1];
    FormatUsbLocation(c.ports, location);
    EXPECT_STREQ(location, c.location);
    EXPECT_EQ(UsbLocationText(c.ports), c.location);
  }
  EXPECT_EQ(UsbLocationInformation(L"0000.0014.0000", std::vector<uint8_t>{1, 3}),
            L"0000.0014.0000.001.003.000.000.000.000");
}

TEST(UsbDeviceNames, NamesAndIdsAreUpperCaseHex) {
  char name[kUsbDeviceNameLength + 1];
  FormatUsbDeviceName(0xabcd, 0x00ef, 0x0102, name);
  EXPECT_STREQ(name, "VID_ABCD&PID_00EF&REV_0102");
  FormatUsbDeviceName(0xFFFF, 0xFFFF, 0xFFFF, name);
  EXPECT_STREQ(name, "VID_FFFF&PID_FFFF&REV_FFFF");

  EXPECT_EQ(UsbDeviceInstanceId(0xf0e1, 0x0001, L"5&1A2B3C4D&0&3"), L"USB\\VID_F0E1&PID_0001\\5&1A2B3C4D&0&3");
  EXPECT_EQ(UsbInterfaceInstanceId(0xfc01, 0x0a01, 0x0a, L"1-3.2:1.0"), L"USB\\VID_FC01&PID_0A01&MI_0A\\1-3.2:1.0");
  EXPECT_EQ(UsbHardwareIds(0xfc01, 0x0a01, 0x0100, 2),
            (std::vector<std::wstring>{L"USB\\VID_FC01&PID_0A01&REV_0100&MI_02", L"USB\\VID_FC01&PID_0A01&MI_02"}));
  EXPECT_EQ(UsbHardwareIds(0xFFFF, 0xFFFF, 0xFFFF, std::nullopt),
            (std::vector<std::wstring>{L"USB\\VID_FFFF&PID_FFFF&REV_FFFF", L"USB\\VID_FFFF&PID_FFFF"}));
}

TEST(UsbDeviceNames, InterfacePathsAreLowerCase) {
  EXPECT_EQ(CaptureInterfacePath(L"USB\\VID_FC01&PID_0A01&MI_00\\6&1A2B&0&0000"),
            L"\\\\?\\usb#vid_fc01&pid_0a01&mi_00#6&1a2b&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global");
  EXPECT_EQ(DeviceInterfacePath(L"USB\\VID_FC01&PID_0A01\\5&1", text::GuidOf("{A5DCBF10-6530-11D2-901F-00C04FB951ED}"),
                                false),
            L"\\\\?\\usb#vid_fc01&pid_0a01#5&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  EXPECT_EQ(GuidText(kCaptureCategory), L"{65E8773D-8F56-11D0-A3B9-00A0C9223196}");
}

}  // namespace
}  // namespace fcp::text
