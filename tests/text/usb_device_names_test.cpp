#include "text/usb_device_names.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "text/device_classes.h"

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
  EXPECT_EQ(DeviceInterfacePath(L"USB\\VID_FC01&PID_0A01\\5&1", interface_class::kUsbDevice, false),
            L"\\\\?\\usb#vid_fc01&pid_0a01#5&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
}

// The class GUIDs are the platform's: the camera layer and the simulated device tree share them, so
// only their text as the platform writes it can tell a wrong digit.
TEST(DeviceClasses, AreThePlatformsOwn) {
  const struct {
    Guid guid;
    const wchar_t* text;
  } cases[] = {
      {setup_class::kImage, L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"},
      {setup_class::kCamera, L"{CA3E7AB9-B4C3-4AE6-8251-579EF933890F}"},
      {setup_class::kMedia, L"{4D36E96C-E325-11CE-BFC1-08002BE10318}"},
      {setup_class::kUsb, L"{36FC9E60-C465-11CF-8056-444553540000}"},
      {setup_class::kUsbDevice, L"{88BAE032-5A81-49F0-BC3D-A4FF138216D6}"},
      {interface_class::kCameraSensor, L"{24E552D7-6523-47F7-A647-D3465BF1F5CA}"},
      {interface_class::kKsCapture, L"{65E8773D-8F56-11D0-A3B9-00A0C9223196}"},
      {interface_class::kKsVideo, L"{6994AD05-93EF-11D0-A3CC-00A0C9223196}"},
      {interface_class::kKsAudio, L"{6994AD04-93EF-11D0-A3CC-00A0C9223196}"},
      {interface_class::kUsbDevice, L"{A5DCBF10-6530-11D2-901F-00C04FB951ED}"},
      {interface_class::kUsbHub, L"{F18A0E88-C30C-11D0-8815-00A0C906BED8}"},
  };
  for (const auto& c : cases) EXPECT_EQ(GuidText(c.guid), c.text);
}

}  // namespace
}  // namespace fcp::text
