// Which devices open-device accepts, by transport kind.
#include "driver/acceptance.h"
#include "driver_fixture.h"

namespace fcp::driver::test {
namespace {

using AcceptanceTest = DriverTest;

struct Row {
  const char* what;
  uint32_t kind;
  const char16_t* device_class;
  bool maker_hardware_id;
  std::vector<uint8_t> configuration;
  std::string hub_name;  // string descriptor 0x34, empty: none
  bool accepted;
};

std::string Hub1() { return maker::kHubProduct1; }
std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

TEST_F(AcceptanceTest, ByClassHardwareIdAndDescriptorsOfEachTransportKind) {
  const auto xu1 = ExtensionUnit(text::GuidOf(maker::kXuGuid1).Bytes());
  const auto xu2 = ExtensionUnit(text::GuidOf(maker::kXuGuid2).Bytes());
  auto other_guid = text::GuidOf(maker::kXuGuid1).Bytes();
  other_guid[15] ^= 0xFF;
  const auto xu_other = ExtensionUnit(other_guid);
  auto xu_wrong_subtype = xu1;
  xu_wrong_subtype[2] = 7;
  const uint16_t vid = maker::kUsbVendorId;
  const std::vector<uint8_t> none = Configuration({});
  std::vector<uint8_t> broken = Configuration({xu1});
  broken[18] = 0;  // a descriptor of length 0 before the unit

  const Row rows[] = {
      {"kind 0, maker hardware ID", 0, SimKernel::kCameraClass, true, none, "", true},
      {"kind 0, image class, first unit", 0, SimKernel::kImageClass, false, Configuration({xu1}), "", true},
      {"kind 0, second unit after others", 0, SimKernel::kCameraClass, false,
       Configuration({VendorDescriptor(8, vid), xu2}), "", true},
      {"kind 0, foreign unit", 0, SimKernel::kCameraClass, false, Configuration({xu_other}), "", false},
      {"kind 0, unit GUID in another descriptor", 0, SimKernel::kCameraClass, false,
       Configuration({xu_wrong_subtype}), "", false},
      {"kind 0, malformed configuration", 0, SimKernel::kCameraClass, false, broken, "", false},
      {"kind 0, media class", 0, SimKernel::kMediaClass, true, none, "", false},
      {"kind 1, media class, maker hardware ID", 1, SimKernel::kMediaClass, true, none, "", true},
      {"kind 1, subtype 8 with the vendor ID", 1, SimKernel::kMediaClass, false,
       Configuration({VendorDescriptor(8, vid)}), "", true},
      {"kind 1, subtype 9 with the vendor ID", 1, SimKernel::kUsbClass, false,
       Configuration({VendorDescriptor(9, vid)}), "", true},
      {"kind 1, another vendor", 1, SimKernel::kUsbClass, false,
       Configuration({VendorDescriptor(8, uint16_t(vid + 1))}), "", false},
      {"kind 1, subtype 6 with the vendor ID", 1, SimKernel::kUsbClass, false,
       Configuration({VendorDescriptor(6, vid)}), "", false},
      {"kind 1, camera class", 1, SimKernel::kCameraClass, true, none, "", false},
      {"kind 2, hub name", 2, SimKernel::kUsbClass, false, none, Hub1() + " Hub", true},
      {"kind 2, second hub name, other case", 2, SimKernel::kUsbClass, false, none,
       Lower(maker::kHubProduct2), true},
      {"kind 2, other name", 2, SimKernel::kUsbClass, false, none, "GENERIC HUB", false},
      {"kind 2, name too short", 2, SimKernel::kUsbClass, false, none, Hub1().substr(0, 5), false},
      {"kind 2, no string", 2, SimKernel::kUsbClass, false, none, "", false},
      {"kind 2, image class", 2, SimKernel::kImageClass, true, none, "", false},
      {"kind 3", 3, SimKernel::kUsbClass, true, none, Hub1(), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TestUsbDevice usb;
    usb.configuration = row.configuration;
    if (!row.hub_name.empty()) usb.strings[0x34] = StringDescriptor(row.hub_name);
    SimKernel::DeviceObject* device = kernel_.PlugDevice(
        usb, row.device_class, {kForeignHardwareId, row.maker_hardware_id ? MakerHardwareId() : u"USB\\COMPOSITE"});
    uint64_t handle = 0;
    const NtStatus status = OpenDeviceControl(kernel_.OpenInterface(device), row.kind, &handle);
    EXPECT_EQ(status, row.accepted ? kStatusSuccess : kStatusAccessDenied);
    EXPECT_EQ(handle != 0, row.accepted);
    if (row.accepted) {
      EXPECT_EQ(CloseDeviceControl(handle), kStatusSuccess);
    }
    EXPECT_EQ(kernel_.References(device), 1);
    if (row.maker_hardware_id && row.accepted) {
      EXPECT_EQ(usb.requests, 0) << "a hardware-ID match needs no USB traffic";
    }
  }
}

TEST(DescriptorTests, SurviveTruncatedAndLyingDescriptors) {
  const auto xu1 = ExtensionUnit(text::GuidOf(maker::kXuGuid1).Bytes());
  std::vector<uint8_t> configuration = Configuration({xu1});
  EXPECT_TRUE(HoldsMakerExtensionUnit(configuration.data(), uint32_t(configuration.size())));
  for (uint32_t cut = 0; cut < configuration.size(); ++cut) {
    EXPECT_FALSE(HoldsMakerExtensionUnit(configuration.data(), cut)) << cut;
  }
  configuration[18] = 255;  // the unit claims to run past the end
  EXPECT_FALSE(HoldsMakerExtensionUnit(configuration.data(), uint32_t(configuration.size())));
  auto name = StringDescriptor(maker::kHubProduct1);
  EXPECT_TRUE(NamesMakerHub(name.data(), uint32_t(name.size())));
  name[0] = 4;  // a descriptor that says it holds one character
  EXPECT_FALSE(NamesMakerHub(name.data(), uint32_t(name.size())));
}

}  // namespace
}  // namespace fcp::driver::test
