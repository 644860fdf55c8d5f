// The DFU connection over a virtual workstation: the device table, the open by index and by
// location, the close, and the vendor requests.
#include <libusb.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "dfu/connection.h"
#include "dfu/device_table.h"
#include "dfu/diagnostic.h"
#include "text/widening.h"
#include "workstation_fixture.h"

namespace fcp::dfu {
namespace {

using testing_support::DfuWorkstationTest;
using testing_support::ListedInterfaces;

using DfuConnection = DfuWorkstationTest;

TEST_F(DfuConnection, TableNamesEveryInterfaceInListOrder) {
  sim::DeviceSpec two = sim::ChipCameraSpec("two", {1, 2});
  two.dfu_alt_settings = 2;
  Plug(sim::ChipCameraSpec("one", {3}));
  Plug(two);

  ASSERT_EQ(DFU_ListDevice(), 3);
  const DeviceTable& table = TheDeviceTable();
  const auto nodes = ListedInterfaces();
  ASSERT_EQ(table.Count(), 3);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(table.At(k)->location, text::WidenBytes(nodes[static_cast<size_t>(k)]->location));
    EXPECT_EQ(table.At(k)->name, text::WidenBytes(nodes[static_cast<size_t>(k)]->name));
    EXPECT_EQ(table.At(k)->path, DevicePath::kLibusb);
  }
  EXPECT_EQ(table.At(0)->location, L"001.002.000.000.000.000");  // the last device's, found last
  EXPECT_EQ(table.At(1)->location, L"001.002.000.000.000.000");
  EXPECT_EQ(table.At(2)->location, L"003.000.000.000.000.000");
}

TEST_F(DfuConnection, NothingToListIsNoValidDevice) {
  Plug([] {
    sim::DeviceSpec s = sim::ChipCameraSpec("cam", {1});
    s.has_dfu = false;
    return s;
  }());
  EXPECT_EQ(DFU_ListDevice(), 0);
  EXPECT_STREQ(ErrorText(), "No valid device");
  EXPECT_EQ(DFU_OpenByLocationInfo(L"001.000.000.000.000.000"), 0);
  EXPECT_EQ(DFU_OpenDevice(0), 0);
}

TEST_F(DfuConnection, LibusbThatDoesNotStartListsNothing) {
  Plug(sim::ChipCameraSpec("cam", {1}));
  workstation_->libusb_init_error = LIBUSB_ERROR_NO_MEM;
  EXPECT_EQ(DFU_ListDevice(), 0);
  EXPECT_STREQ(ErrorText(), "unable to initialize libusb: LIBUSB_ERROR_NO_MEM");
  EXPECT_EQ(DFU_OpenByLocationInfo(L"001.000.000.000.000.000"), 0);
  EXPECT_EQ(Connection().context, nullptr);
}

TEST_F(DfuConnection, TableStopsAtTwentyFourAndSaysSo) {
  for (uint8_t port = 1; port <= 13; ++port) {
    sim::DeviceSpec shape = sim::ChipCameraSpec("cam" + std::to_string(port), {port});
    shape.dfu_alt_settings = 2;
    Plug(shape);
  }
  EXPECT_EQ(DFU_ListDevice(), 24);
  EXPECT_STREQ(Diagnostic(), "Device table is full: 24 of 26 DFU interfaces listed");
  // The last entry of the table is still node 23 of the list.
  ASSERT_EQ(DFU_OpenDevice(23), 1);
  EXPECT_STREQ(DFU_InterfaceListHead()->location, "002.000.000.000.000.000");
  EXPECT_EQ(DFU_InterfaceListHead()->alternate_setting, 0);
  EXPECT_EQ(DFU_OpenDevice(24), 0);
}

TEST_F(DfuConnection, OpenByLocationTakesTheFirstEntryAndFreesTheNodesBeforeIt) {
  sim::DeviceSpec target = sim::ChipCameraSpec("target", {2, 1});
  target.dfu_alt_settings = 2;
  Plug(target);
  Plug(sim::ChipCameraSpec("later1", {3}));
  Plug(sim::ChipCameraSpec("later2", {4}));
  // List order: later2, later1, target alt 1, target alt 0.
  ASSERT_EQ(DFU_OpenByLocationInfo(L"002.001.000.000.000.000"), 1);

  const auto nodes = ListedInterfaces();
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0]->alternate_setting, 1);  // the first of the two, found last
  EXPECT_NE(nodes[0]->handle, nullptr);
  EXPECT_STREQ(nodes[1]->location, "002.001.000.000.000.000");
  EXPECT_EQ(nodes[1]->handle, nullptr);
  // The freed nodes gave their device references back: only the target device is still referenced.
  EXPECT_EQ(sim::LiveLibusbObjects().devices, 1);
  EXPECT_EQ(sim::LiveLibusbObjects().handles, 1);
}

// Opens by index on one listing: each entry opens its own interface or nothing, never the node that
// took the place of a freed one, and a second open leaves no handle behind.
TEST_F(DfuConnection, EntriesKeepTheirInterfaceAcrossOpens) {
  for (uint8_t port = 1; port <= 4; ++port) Plug(sim::ChipCameraSpec("cam" + std::to_string(port), {port}));
  ASSERT_EQ(DFU_ListDevice(), 4);
  const DeviceTable& table = TheDeviceTable();

  ASSERT_EQ(DFU_OpenDevice(1), 1);
  EXPECT_EQ(text::WidenBytes(DFU_InterfaceListHead()->location), table.At(1)->location);
  ASSERT_EQ(DFU_OpenDevice(3), 1);
  EXPECT_EQ(text::WidenBytes(DFU_InterfaceListHead()->location), table.At(3)->location);
  EXPECT_EQ(sim::LiveLibusbObjects().handles, 1);
  ASSERT_EQ(DFU_OpenDevice(3), 1);
  EXPECT_EQ(sim::LiveLibusbObjects().handles, 1);

  EXPECT_EQ(DFU_OpenDevice(2), 0);  // its node went with the open of entry 3
  EXPECT_STREQ(ErrorText(), "No valid device");
  EXPECT_EQ(DFU_OpenDevice(0), 0);
}

// A pass-through entry whose camera the camera side does not find fails to open without touching
// the libusb side; an open through libusb afterwards works and leaves the pass-through mode.
TEST_F(DfuConnection, PassThroughEntryWithoutItsCameraFails) {
  Plug(sim::ChipCameraSpec("cam", {1}));
  ASSERT_EQ(DFU_ListDevice(), 1);
  ASSERT_TRUE(TheDeviceTable().Add(L"002.000.000.000.000.000", L"VID_0001&PID_0002&REV_0003",
                                   DevicePath::kPassThrough));
  EXPECT_EQ(DFU_OpenDevice(1), 0);
  EXPECT_TRUE(Connection().pass_through_mode);  // set by the attempt; the close releases what it holds
  EXPECT_EQ(ListedInterfaces().size(), 1u);
  EXPECT_EQ(sim::LiveLibusbObjects().handles, 0);
  EXPECT_EQ(DFU_OpenDevice(0), 1);
  EXPECT_FALSE(Connection().pass_through_mode);
}

TEST_F(DfuConnection, OpenByLocationIgnoresCase) {
  Plug(sim::ChipCameraSpec("cam", {1}));
  ASSERT_EQ(DFU_ListDevice(), 1);
  EXPECT_EQ(TheDeviceTable().FindLocation(L"001.000.000.000.000.000"), 0);
  DeviceTable table;
  ASSERT_TRUE(table.Add(L"Usb.Port.001", L"name", DevicePath::kPassThrough));
  EXPECT_EQ(table.FindLocation(L"USB.PORT.001"), 0);
  EXPECT_EQ(table.FindLocation(L"USB.PORT.00"), -1);
  EXPECT_EQ(table.FindLocation(L"USB.PORT.001.000"), -1);
}

TEST_F(DfuConnection, NoEntryAtTheLocation) {
  Plug(sim::ChipCameraSpec("cam", {1}));
  EXPECT_EQ(DFU_OpenByLocationInfo(L"002.000.000.000.000.000"), 0);
  EXPECT_STREQ(ErrorText(), "No valid device");
  EXPECT_EQ(DFU_OpenByLocationInfo(nullptr), 0);
}

TEST_F(DfuConnection, DeviceThatRefusesTheOpen) {
  auto device = Plug(sim::ChipCameraSpec("cam", {1}));
  ASSERT_EQ(DFU_ListDevice(), 1);
  device->libusb_open_error = LIBUSB_ERROR_ACCESS;
  EXPECT_EQ(DFU_OpenDevice(0), 0);
  EXPECT_STREQ(ErrorText(), "Cannot open device: LIBUSB_ERROR_ACCESS");
  std::array<uint8_t, 4> data{};
  EXPECT_EQ(DFU_Vendorreqget(0x52, 0, 0, data.data(), 4), 0);
  // Close after a failed open, and again.
  DFU_Close();
  EXPECT_TRUE(sim::LiveLibusbObjects().AllReleased());
  DFU_Close();
  EXPECT_TRUE(sim::LiveLibusbObjects().AllReleased());
}

TEST_F(DfuConnection, CloseReleasesEverythingAndMayBeRepeated) {
  Plug(sim::ChipCameraSpec("cam", {1}));
  DFU_Close();  // before anything was opened
  ASSERT_EQ(DFU_OpenByLocationInfo(L"001.000.000.000.000.000"), 1);
  // A second open without a close releases the first connection.
  ASSERT_EQ(DFU_OpenByLocationInfo(L"001.000.000.000.000.000"), 1);
  EXPECT_EQ(sim::LiveLibusbObjects().handles, 1);
  EXPECT_EQ(sim::LiveLibusbObjects().contexts, 1);
  DFU_Close();
  EXPECT_TRUE(sim::LiveLibusbObjects().AllReleased());
  EXPECT_EQ(DFU_InterfaceListHead(), nullptr);
  EXPECT_EQ(TheDeviceTable().Count(), 0);
  DFU_Close();
  EXPECT_TRUE(sim::LiveLibusbObjects().AllReleased());
  std::array<uint8_t, 4> data{};
  EXPECT_EQ(DFU_Vendorreqget(0x52, 0, 0, data.data(), 4), 0);
  EXPECT_LT(DFU_LastTransferLength(), 0);
}

TEST_F(DfuConnection, VendorRequestsReachTheChip) {
  auto device = Plug(sim::ChipCameraSpec("cam", {1}));
  ASSERT_EQ(DFU_OpenByLocationInfo(L"001.000.000.000.000.000"), 1);
  std::vector<std::string> setups;  // the setup packets on the wire, as the trace shows them
  workstation_->SetTraceSink([&setups](const std::string& line) {
    const size_t from = line.find(' ') + 1;
    setups.push_back(line.substr(from, line.find(' ', from) - from));
  });

  std::array<uint8_t, 59> config{};
  ASSERT_EQ(DFU_Vendorreqget(0x52, 0, 0, config.data(), 59), 1);
  EXPECT_EQ(DFU_LastTransferLength(), 59);
  EXPECT_TRUE(std::equal(config.begin(), config.end(), device->chip->Config().begin()));

  const std::array<uint8_t, 3> patch = {0xE1, 0x95, 0x5A};
  ASSERT_EQ(DFU_Vendorreqset(0x51, 0, 40, patch.data(), 3), 1);
  EXPECT_EQ(DFU_LastTransferLength(), 3);
  EXPECT_TRUE(std::equal(patch.begin(), patch.end(), device->chip->Config().begin() + 40));

  std::array<uint8_t, 3> back{};
  ASSERT_EQ(DFU_Vendorreqget(0x52, 0, 40, back.data(), 3), 1);
  EXPECT_EQ(back, patch);
  EXPECT_EQ(setups, (std::vector<std::string>{"C052000000003B00", "4051000028000300", "C052000028000300"}));
}

TEST_F(DfuConnection, ShortReadSucceedsAndTellsItsLength) {
  auto device = Plug(sim::ChipCameraSpec("cam", {1}));
  sim::FaultRule short_read;
  short_read.device = "cam";
  short_read.match.request = 0x52;
  short_read.action = sim::FaultAction::kShort;
  short_read.length = 10;
  workstation_->AddFault(short_read);
  ASSERT_EQ(DFU_OpenByLocationInfo(L"001.000.000.000.000.000"), 1);

  std::array<uint8_t, 59> buffer;
  buffer.fill(0xAA);
  EXPECT_EQ(DFU_Vendorreqget(0x52, 0, 0, buffer.data(), 59), 1);
  EXPECT_EQ(DFU_LastTransferLength(), 10);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 10, device->chip->Config().begin()));
  EXPECT_TRUE(std::all_of(buffer.begin() + 10, buffer.end(), [](uint8_t b) { return b == 0xAA; }));
}

TEST_F(DfuConnection, StalledRequestFailsWithItsError) {
  Plug(sim::ChipCameraSpec("cam", {1}));
  sim::FaultRule stall;
  stall.device = "cam";
  stall.match.request = 0x24;
  stall.action = sim::FaultAction::kStall;
  workstation_->AddFault(stall);
  ASSERT_EQ(DFU_OpenByLocationInfo(L"001.000.000.000.000.000"), 1);
  const std::array<uint8_t, 4> commit = {0x84, 0x14, 0x73, 0x90};
  EXPECT_EQ(DFU_Vendorreqset(0x24, 0x401E, 0x0204, commit.data(), 4), 0);
  EXPECT_EQ(DFU_LastTransferLength(), LIBUSB_ERROR_PIPE);
}

}  // namespace
}  // namespace fcp::dfu
