// The DFU device table's pass-through entries, their open through the driver, vendor requests as
// request blocks, and the close, on the virtual workstation with its simulated Windows.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dfu/connection.h"
#include "dfu/device_table.h"
#include "dfu/dfu.h"
#include "dfu/passthrough_route.h"
#include "sim/devices.h"
#include "sim/windows/passthrough_views.h"
#include "sim/windows/windows_views.h"
#include "uvc/chip_memory_map.h"
#include "uvc/uvc.h"
#include "workstation_fixture.h"

namespace fcp::dfu::testing_support {
namespace {

constexpr wchar_t kRoot1[] = L"001.000.000.000.000.000";
constexpr wchar_t kRoot2[] = L"002.000.000.000.000.000";

class PassThroughRoute : public DfuWorkstationTest {
 protected:
  std::shared_ptr<sim::UsbDevice> Hidden(std::string id, std::vector<uint8_t> ports, uint8_t bus = 1) {
    auto device = sim::MakeDevice(sim::ChipCameraSpec(std::move(id), std::move(ports), bus));
    device->libusb_visible = false;
    EXPECT_TRUE(workstation_->AddDevice(device));
    return device;
  }
  std::vector<DeviceTableEntry> Table() {
    std::vector<DeviceTableEntry> entries;
    for (int i = 0; i < TheDeviceTable().Count(); ++i) entries.push_back(*TheDeviceTable().At(i));
    return entries;
  }
  bool DriverInstalled() { return pass_.Windows().ServiceNamed(L"KvxUpx").has_value(); }

  sim::windows::ScopedWindowsViews views_{CurrentWs()};
  sim::windows::PassThroughViews pass_{CurrentWs()};
  sim::windows::ScopedPassThroughPorts ports_{pass_, views_.Views().Registry()};

 private:
  static std::shared_ptr<sim::Workstation> CurrentWs() { return sim::CurrentWorkstation(); }
};

TEST_F(PassThroughRoute, CandidatesJoinTheTableAfterTheLibusbEntries) {
  Plug(sim::ChipCameraSpec("listed", {1}));   // libusb lists its DFU interface
  Hidden("hidden", {2});
  auto zero = Hidden("zeroWord", {3});
  zero->chip->WriteWord(uvc::kPassThroughWordAddress, 0);
  Hidden("sameLocationFirst", {4}, 1);
  Hidden("sameLocationSecond", {4}, 2);  // another bus, the same six ports: one location
  // The whole word qualifies: a camera whose only set bit is in its second, third or fourth byte joins.
  const uint32_t one_byte_words[] = {0x00000100, 0x00010000, 0x80000000};
  for (uint8_t i = 0; i < 3; ++i) {
    Hidden("word" + std::to_string(i), {static_cast<uint8_t>(5 + i)})->chip->WriteWord(uvc::kPassThroughWordAddress, one_byte_words[i]);
  }

  ASSERT_EQ(DFU_ListDevice(), 6);
  const auto table = Table();
  EXPECT_EQ(table[0].path, DevicePath::kLibusb);
  EXPECT_EQ(table[0].location, kRoot1);
  EXPECT_EQ(table[1].path, DevicePath::kPassThrough);
  EXPECT_EQ(table[1].location, kRoot2);
  EXPECT_TRUE(table[1].name.ends_with(L"&REV_0100")) << table[1].name;  // bcdDevice 0x0100 read back in decimal
  EXPECT_EQ(table[2].location, L"004.000.000.000.000.000");
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(table[3 + i].location, L"00" + std::to_wstring(5 + i) + L".000.000.000.000.000");
  }
  // The walk leaves no camera open behind it (the last candidate included).
  std::wstring still_open;
  EXPECT_EQ(UVC_GetDeviceId(still_open), 0) << still_open;

  // Without the device-setup port (the Linux tool) there are no pass-through entries.
  {
    os::ScopedPort<os::DeviceSetup> none(nullptr);
    EXPECT_EQ(DFU_ListDevice(), 1);
  }
}

// Cameras at the same ports of two buses: the table keeps one entry for their location (a camera whose
// location is listed already is not added), but that entry could be either camera's. The open refuses
// the location, on either route, and leaves no driver behind.
TEST_F(PassThroughRoute, LocationOfTwoCamerasOnTwoBusesOpensNothing) {
  Hidden("cam0", {4}, 1);
  Plug(sim::ChipCameraSpec("cam1", {4}, 2));  // libusb lists this one
  Hidden("cam2", {5}, 1);
  Hidden("cam3", {5}, 2);
  ASSERT_EQ(DFU_ListDevice(), 2);
  EXPECT_EQ(Table()[0].path, DevicePath::kLibusb);
  EXPECT_EQ(Table()[0].location, L"004.000.000.000.000.000");
  EXPECT_EQ(Table()[1].path, DevicePath::kPassThrough);
  EXPECT_EQ(Table()[1].location, L"005.000.000.000.000.000");
  for (const wchar_t* location : {L"004.000.000.000.000.000", L"005.000.000.000.000.000"}) {
    EXPECT_EQ(DFU_OpenByLocationInfo(location), 0);
    EXPECT_STREQ(ErrorText(), "More than one device at the location");
    EXPECT_FALSE(Connection().pass_through_mode);
    EXPECT_FALSE(DriverInstalled());
    EXPECT_EQ(sim::LiveLibusbObjects().handles, 0);
  }
}

TEST_F(PassThroughRoute, OpenSendsTheVendorRequestsThroughTheDriverAndCloseRemovesIt) {
  auto hidden = Hidden("cam0", {2});
  ASSERT_EQ(DFU_OpenByLocationInfo(kRoot2), 1);
  EXPECT_TRUE(Connection().pass_through_mode);
  EXPECT_TRUE(DriverInstalled());

  std::vector<uint8_t> config(59);
  ASSERT_EQ(DFU_Vendorreqget(0x52, 0, 0, config.data(), 59), 1);
  EXPECT_EQ(DFU_LastTransferLength(), 59);
  EXPECT_EQ(config[1], 1 * 29 + 7);  // factory configuration bytes
  const uint8_t patch[3] = {0xA1, 0xB2, 0xC3};
  ASSERT_EQ(DFU_Vendorreqset(0x51, 0, 200, patch, 3), 1);
  EXPECT_EQ(DFU_LastTransferLength(), 3);
  EXPECT_EQ(hidden->chip->Config()[200], 0xA1);
  // A stalled request fails; a short one reports its true length.
  EXPECT_EQ(DFU_Vendorreqget(0x52, 0, 250, config.data(), 10), 0);
  sim::FaultRule short_read;
  short_read.device = "cam0";
  short_read.match.request = 0x52;
  short_read.times = 1;
  short_read.action = sim::FaultAction::kShort;
  short_read.length = 7;
  workstation_->AddFault(short_read);
  ASSERT_EQ(DFU_Vendorreqget(0x52, 0, 0, config.data(), 59), 1);
  EXPECT_EQ(DFU_LastTransferLength(), 7);

  DFU_Close();
  EXPECT_FALSE(Connection().pass_through_mode);
  EXPECT_FALSE(DriverInstalled());
  EXPECT_EQ(pass_.Tree().OpenInterfaceFiles(), 0u);
  EXPECT_EQ(DFU_Vendorreqget(0x52, 0, 0, config.data(), 59), 0);
}

TEST_F(PassThroughRoute, FailedOpensLeaveNoDriverBehind) {
  Hidden("cam0", {2});
  struct Case {
    const char* what;
    std::function<void()> break_it;
    const wchar_t* text;
  };
  std::unique_ptr<sim::windows::SimWindowsProcess> holder;  // another process that never lets go
  const Case cases[] = {
      {"the driver does not start", [&] { pass_.Windows().FailStartService(true); },
       L"Failed to KvxUpx_Init. Maybe some old tool is executing.\n"},
      {"another process holds the driver's mutex and hangs",
       [&] {
         holder = pass_.Windows().StartProcess();
         holder->WaitForObject(holder->CreateNamedMutex(L"RefCountMutex_2021_07_08"), 0);
         holder->Hang();
       },
       L"Failed to KvxUpx_Init. Maybe some old tool is executing.\n"},
      {"Winsock 2.2 is missing", [&] { pass_.Host().winsock_version = 0x0101; }, L"Failed to KvxUpxCam_Init.\n"},
      {"the camera list fails", [&] { pass_.Tree().SetFault([](std::string_view call, const std::wstring&) { return call == "GetClassDevs" ? 5u : 0u; }); },
       L"Failed to KvCam_ListDevice.\n"},
      {"the camera cannot be opened", [&] { pass_.Tree().SetFault([](std::string_view call, const std::wstring&) { return call == "CreateInterfaceFile" ? 5u : 0u; }); },
       L"Cannot open camera device.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(DFU_ListDevice(), 1);
    c.break_it();
    EXPECT_EQ(DFU_OpenDevice(0), 0);
    EXPECT_EQ(std::wstring(PassThroughErrorText()), c.text);
    EXPECT_FALSE(DriverInstalled());
    EXPECT_EQ(pass_.Tree().OpenInterfaceFiles(), 0u);
    DFU_Close();
    pass_.Windows().FailStartService(false);
    pass_.Host().winsock_version = 0x0202;
    pass_.Tree().SetFault(nullptr);
    holder.reset();
  }
  EXPECT_EQ(pass_.Windows().EndlessWaits(), 0);
  // Afterwards the route works again.
  ASSERT_EQ(DFU_OpenByLocationInfo(kRoot2), 1);
}

}  // namespace
}  // namespace fcp::dfu::testing_support
