// While the camera side sees any camera, a DFU interface opens only where a camera shares its
// location: the DFU side never reaches a device other than the camera the operator selected.
#include <functional>
#include <string>

#include "dfu/connection.h"
#include "sim/windows/windows_views.h"
#include "uvc/uvc.h"
#include "workstation_fixture.h"

namespace fcp::dfu {
namespace {

using testing_support::DfuWorkstationTest;
using testing_support::ForeignDfuSpec;

class CameraRule : public DfuWorkstationTest {
 protected:
  sim::windows::ScopedWindowsViews views_;  // the cameras of the current workstation
};

TEST_F(CameraRule, OpensWhereACameraSharesTheLocation) {
  Plug(sim::ChipCameraSpec("cam1", {1}));
  Plug(sim::ChipCameraSpec("cam2", {2, 4}));
  ASSERT_EQ(UVC_GetDeviceCount(), 2);
  EXPECT_EQ(DFU_OpenByLocationInfo(L"002.004.000.000.000.000"), 1);
  EXPECT_STREQ(DFU_InterfaceListHead()->location, "002.004.000.000.000.000");
}

TEST_F(CameraRule, RefusesADfuInterfaceWithoutACameraWhileACameraIsPresent) {
  Plug(sim::ChipCameraSpec("cam", {1}));
  sim::DeviceSpec in_dfu_mode = sim::ChipCameraSpec("flashing", {3});
  in_dfu_mode.dfu_mode = true;  // shows only its DFU interface: no camera at its location
  Plug(in_dfu_mode);
  Plug(ForeignDfuSpec("other", {4}));
  ASSERT_EQ(UVC_GetDeviceCount(), 1);

  EXPECT_EQ(DFU_OpenByLocationInfo(L"003.000.000.000.000.000"), 0);
  EXPECT_EQ(DFU_OpenByLocationInfo(L"004.000.000.000.000.000"), 0);
  EXPECT_STREQ(ErrorText(), "No camera at the location of the DFU interface");
  EXPECT_EQ(sim::LiveLibusbObjects().handles, 0);
  // The camera's own DFU interface still opens.
  EXPECT_EQ(DFU_OpenByLocationInfo(L"001.000.000.000.000.000"), 1);
}

// The location text leaves out the bus: where it names more than one device, the DFU side opens none
// of them (a camera's own DFU interface is the same device as the camera, not a second one).
TEST_F(CameraRule, LocationOfTwoDevicesOpensNothing) {
  auto at = [](sim::Workstation& ws, sim::DeviceSpec shape, uint8_t bus, bool dfu_mode = false, bool listed = true) {
    shape.place = {bus, {1, 3}, 0};
    shape.dfu_mode = dfu_mode;
    auto device = sim::MakeDevice(shape);
    device->libusb_visible = listed;
    ASSERT_TRUE(ws.AddDevice(device));
  };
  const struct {
    const char* name;
    std::function<void(sim::Workstation&)> plug;
  } cases[] = {
      {"two devices in DFU mode on two buses, no camera",
       [&](sim::Workstation& ws) {
         at(ws, sim::ChipCameraSpec("flashing1", {}), 1, true);
         at(ws, sim::ChipCameraSpec("flashing2", {}), 2, true);
       }},
      {"a camera and a device in DFU mode on another bus",
       [&](sim::Workstation& ws) {
         at(ws, sim::ChipCameraSpec("cam0", {}), 1);
         at(ws, sim::ChipCameraSpec("flashing", {}), 2, true);
       }},
      {"a camera libusb does not list and another maker's DFU device on another bus",
       [&](sim::Workstation& ws) {
         at(ws, sim::ChipCameraSpec("cam0", {}), 1, false, false);
         at(ws, ForeignDfuSpec("other", {}), 2);
       }},
      {"two cameras on two buses",
       [&](sim::Workstation& ws) {
         at(ws, sim::ChipCameraSpec("cam0", {}), 1);
         at(ws, sim::ChipCameraSpec("cam1", {}), 2);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::ScopedWorkstation current{std::make_shared<sim::Workstation>()};
    c.plug(*current);
    EXPECT_EQ(DFU_OpenByLocationInfo(L"001.003.000.000.000.000"), 0);
    EXPECT_STREQ(ErrorText(), "More than one device at the location");
    EXPECT_EQ(sim::LiveLibusbObjects().handles, 0);
    DFU_Close();
  }
}

TEST_F(CameraRule, WithoutAnyCameraEveryDfuInterfaceOpens) {
  sim::DeviceSpec in_dfu_mode = sim::ChipCameraSpec("flashing", {3});
  in_dfu_mode.dfu_mode = true;
  Plug(in_dfu_mode);
  ASSERT_EQ(UVC_GetDeviceCount(), 0);
  EXPECT_EQ(DFU_OpenByLocationInfo(L"003.000.000.000.000.000"), 1);
}

}  // namespace
}  // namespace fcp::dfu
