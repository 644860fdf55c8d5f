// Discovery and selection against in-test fakes of the video-input and registry ports.
#include <gtest/gtest.h>

#include <cwchar>
#include <functional>
#include <string>

#include "../app/recording_notices.h"
#include "fake_ports.h"
#include "uvc/location_devices.h"
#include "uvc/uvc.h"

namespace fcp::uvc::test {
namespace {

constexpr uint16_t kVid = 0xFC01;

class CameraSelection : public ::testing::Test {
 protected:
  void TearDown() override { UVC_Close(); }

  // The location of the current camera, or "" when none is current.
  static std::wstring CurrentLocation() {
    std::wstring location;
    return UVC_GetLocationInfo(location) ? location : L"";
  }

  static void ExpectNoSelection() {
    EXPECT_FALSE(UVC_OpenByIndex(0));
    EXPECT_FALSE(UVC_OpenDefault());
    EXPECT_FALSE(UVC_OpenByVidPid(kVid, 0x0A01));
    EXPECT_FALSE(UVC_OpenByLocationInfo(L"001.001.000.000.000.000"));
    std::wstring text;
    EXPECT_FALSE(UVC_GetDeviceName(text));
    EXPECT_FALSE(UVC_GetLocationInfo(text));
    EXPECT_FALSE(UVC_GetDeviceId(text));
  }

  FakePorts ports_;
};

TEST(CameraSelectionWithoutPorts, NoCamerasAndEverySelectionFails) {
  EXPECT_EQ(UVC_GetDeviceCount(), 0);
  EXPECT_FALSE(UVC_OpenByIndex(0));
  EXPECT_FALSE(UVC_OpenDefault());
  EXPECT_FALSE(UVC_OpenByVidPid(kVid, 1));
  EXPECT_FALSE(UVC_OpenByLocationInfo(L"001.001.000.000.000.000"));
  uint8_t byte = 0;
  EXPECT_FALSE(UVC_ReadMem(0x401002E4, &byte, 1));
  EXPECT_FALSE(UVC_IsVZQ2202());
  UVC_Close();
}

TEST_F(CameraSelection, EmptyCategoryOrFailedEnumeratorMeansNoCameras) {
  ports_.AddCamera(kVid, 0x0A01, 0, L"6&1&0&0000", L"001.001.000.000.000.000");
  for (HRESULT result : {S_FALSE, E_FAIL, static_cast<HRESULT>(0x80040154u) /* class not registered */}) {
    SCOPED_TRACE(result);
    ports_.video_inputs.create_result = result;
    EXPECT_EQ(UVC_GetDeviceCount(), 0);
    ExpectNoSelection();
  }
  ports_.video_inputs.create_result = S_OK;
  ports_.video_inputs.cameras.clear();
  EXPECT_EQ(UVC_GetDeviceCount(), 0);
  ExpectNoSelection();
}

TEST_F(CameraSelection, OpenByIndexFillsTheCurrentCamera) {
  auto& first = ports_.AddCamera(kVid, 0x0A01, 0, L"6&1&0&0000", L"001.001.000.000.000.000");
  ports_.AddCamera(kVid, 0x0A02, 0, L"6&2&0&0000", L"001.002.000.000.000.000", L"0207");
  first.status[2] = 0x34;
  EXPECT_EQ(UVC_GetDeviceCount(), 2);

  ASSERT_TRUE(UVC_OpenByIndex(1));
  EXPECT_EQ(CurrentLocation(), L"001.002.000.000.000.000");
  std::wstring text;
  ASSERT_TRUE(UVC_GetDeviceName(text));
  EXPECT_EQ(text, L"VID_FC01&PID_0A02&REV_0207");
  ASSERT_TRUE(UVC_GetDeviceId(text));
  EXPECT_EQ(text, L"usb\\vid_fc01&pid_0a02&mi_00\\6&2&0&0000");
  uint16_t vid = 0, pid = 0, rev = 0;
  ASSERT_TRUE(UVC_GetVidPidRev(vid, pid, rev));
  EXPECT_EQ(vid, kVid);
  EXPECT_EQ(pid, 0x0A02);
  EXPECT_EQ(rev, 207);

  EXPECT_FALSE(UVC_OpenByIndex(2));
  EXPECT_EQ(CurrentLocation(), L"");  // a failed open leaves no camera current
  EXPECT_FALSE(UVC_OpenByIndex(-1));
  ASSERT_TRUE(UVC_OpenByIndex(0));
  EXPECT_EQ(CurrentLocation(), L"001.001.000.000.000.000");
  UVC_Close();
  EXPECT_EQ(CurrentLocation(), L"");
  EXPECT_FALSE(UVC_GetVidPidRev(vid, pid, rev));
  EXPECT_EQ(ports_.registry.open_keys, 0);
}

// Each failing step of the open makes the camera invisible to every selection.
TEST_F(CameraSelection, AnyFailedOpenStepHidesTheCamera) {
  const struct {
    const char* step;
    std::function<void(FakeCamera&)> break_it;
  } cases[] = {
      {"property bag", [](FakeCamera& c) { c.bind_to_storage = E_FAIL; }},
      {"property bag S_FALSE", [](FakeCamera& c) { c.bind_to_storage = S_FALSE; }},
      {"DevicePath", [](FakeCamera& c) { c.read_path = E_INVALIDARG; }},
      {"FriendlyName", [](FakeCamera& c) { c.read_name = S_FALSE; }},
      {"filter", [](FakeCamera& c) { c.bind_to_object = E_NOINTERFACE; }},
      {"IKsControl", [](FakeCamera& c) { c.query_ks_control = E_NOINTERFACE; }},
      {"topology", [](FakeCamera& c) { c.query_topology = E_NOINTERFACE; }},
      {"node count", [](FakeCamera& c) { c.num_nodes = E_FAIL; }},
      {"no unit node", [](FakeCamera& c) { c.nodes = {FakeNode{.type = text::Guid{}}}; }},
      {"foreign unit", [](FakeCamera& c) { c.nodes[0].unit_set = text::Guid{}; }},
      {"signature", [](FakeCamera& c) { c.signature[7] = 1; }},
      {"qualify write", [](FakeCamera& c) { c.fail_request = 0; }},
      {"signature read", [](FakeCamera& c) { c.fail_request = 1; }},
      {"last status piece", [](FakeCamera& c) { c.fail_request = 33; }},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.step);
    ports_.video_inputs.cameras.clear();
    ports_.registry.keys.clear();
    auto& broken = ports_.AddCamera(kVid, 0x0A01, 0, L"6&1&0&0000", L"001.001.000.000.000.000");
    test.break_it(broken);
    EXPECT_EQ(UVC_GetDeviceCount(), 1);
    ExpectNoSelection();
    // A healthy camera behind it is found by every selection.
    ports_.AddCamera(kVid, 0x0A01, 0, L"6&2&0&0000", L"001.002.000.000.000.000");
    ASSERT_TRUE(UVC_OpenDefault());
    EXPECT_EQ(CurrentLocation(), L"001.002.000.000.000.000");
    ASSERT_TRUE(UVC_OpenByVidPid(kVid, 0x0A01));
    EXPECT_EQ(CurrentLocation(), L"001.002.000.000.000.000");
    ASSERT_TRUE(UVC_OpenByLocationInfo(L"001.002.000.000.000.000"));
  }
}

// A camera the user may not open is passed over like any camera that does not open, but the operator
// is told which one, once however often the selection runs; other failures say nothing.
TEST_F(CameraSelection, ACameraWithoutAccessIsNamedOnce) {
  fcp::test::RecordingNotices notices;
  ports_.AddCamera(kVid, 0x0A01, 0, L"6&1&0&0000", L"001.001.000.000.000.000").bind_to_object =
      os::HresultFromWin32(ERROR_ACCESS_DENIED);
  ports_.AddCamera(kVid, 0x0A02, 0, L"6&2&0&0000", L"001.002.000.000.000.000").bind_to_object = E_NOINTERFACE;
  EXPECT_FALSE(UVC_OpenDefault());
  EXPECT_FALSE(UVC_OpenByVidPid(kVid, 0x0A01));
  EXPECT_EQ(notices.Lines(), std::vector<std::string>{"no access to the camera fc01:0a01 at 001.001.000.000.000.000 "
                                                      "(its video node): Permission denied; the manual page says which "
                                                      "groups an operator needs"});
}

TEST_F(CameraSelection, DefaultSkipsSensorCamerasAndOtherInterfaces) {
  ports_.AddCamera(kVid, 0x0A01, 1, L"6&1&0&0001", L"001.001.000.000.000.000");      // interface 1
  ports_.AddCamera(kVid, 0x0A02, 0, L"6&2&0&0000", L"001.002.000.000.000.000");      // sensor camera
  ports_.registry.SetDword(L"SYSTEM\\ControlSet001\\Enum\\usb\\vid_fc01&pid_0a02&mi_00\\6&2&0&0000\\Device Parameters",
                          L"SensorCameraMode", 0);
  EXPECT_FALSE(UVC_OpenDefault());
  EXPECT_EQ(CurrentLocation(), L"");

  ports_.AddCamera(kVid, 0x0A03, 0, L"6&3&0&0000", L"001.003.000.000.000.000");
  ports_.AddCamera(kVid, 0x0A04, 0, L"6&4&0&0000", L"001.004.000.000.000.000");
  ASSERT_TRUE(UVC_OpenDefault());
  EXPECT_EQ(CurrentLocation(), L"001.003.000.000.000.000");
  EXPECT_FALSE(UVC_IsSensorCamera());
  std::wstring id;
  ASSERT_TRUE(UVC_GetDeviceId(id));
  EXPECT_EQ(id, L"USB\\VID_FC01&PID_0A03&MI_00\\6&3&0&0000");  // upper-cased by the default selection

  ASSERT_TRUE(UVC_OpenByIndex(1));
  EXPECT_TRUE(UVC_IsSensorCamera());
}

TEST_F(CameraSelection, VidPidPicksTheFirstMatchAtAnyInterface) {
  ports_.AddCamera(kVid, 0x0A01, 0, L"6&1&0&0000", L"001.001.000.000.000.000");
  ports_.AddCamera(kVid, 0x0A02, 2, L"6&2&0&0002", L"001.002.000.000.000.000");
  ports_.AddCamera(kVid, 0x0A02, 0, L"6&3&0&0000", L"001.003.000.000.000.000");
  ports_.registry.SetDword(L"SYSTEM\\ControlSet001\\Enum\\usb\\vid_fc01&pid_0a02&mi_02\\6&2&0&0002\\Device Parameters",
                          L"SensorCameraMode", 1);
  ASSERT_TRUE(UVC_OpenByVidPid(kVid, 0x0A02));
  EXPECT_EQ(CurrentLocation(), L"001.002.000.000.000.000");
  EXPECT_FALSE(UVC_OpenByVidPid(kVid, 0x0A03));
  EXPECT_EQ(CurrentLocation(), L"");
  EXPECT_FALSE(UVC_OpenByVidPid(0x0A02, kVid));
}

TEST_F(CameraSelection, LocationIgnoresCaseAndComparesShortValuesWhole) {
  ports_.AddCamera(kVid, 0x0A01, 0, L"6&1&0&0000", L"001.001.000.000.000.000");
  auto& second = ports_.AddCamera(kVid, 0x0A01, 0, L"6&2&0&0000", L"001.002.000.000.000.000");
  (void)second;
  ports_.registry.SetString(L"SYSTEM\\ControlSet001\\Enum\\usb\\vid_fc01&pid_0a01&mi_00\\6&2&0&0000",
                           L"LocationInformation", L"Port_#0002");
  ASSERT_TRUE(UVC_OpenByLocationInfo(L"port_#0002"));
  EXPECT_EQ(CurrentLocation(), L"Port_#0002");
  EXPECT_FALSE(UVC_OpenByLocationInfo(L"#0002"));
  EXPECT_FALSE(UVC_OpenByLocationInfo(L"Port_#00020"));
  ASSERT_TRUE(UVC_OpenByLocationInfo(L"001.001.000.000.000.000"));
  EXPECT_FALSE(UVC_OpenByLocationInfo(L"HUB_#0001.001.001.000.000.000.000"));
  EXPECT_FALSE(UVC_OpenByLocationInfo(nullptr));
  EXPECT_EQ(CurrentLocation(), L"");
}

// A location leaves out the bus. The video inputs of one device share their whole location
// information and count once; two devices at the same ports of two buses make the location name
// nothing: no camera is opened for it, whether or not the other would open as a camera of this chip.
TEST_F(CameraSelection, LocationOfMoreThanOneDeviceSelectsNothing) {
  const std::wstring location = L"001.003.000.000.000.000";
  ports_.AddCamera(kVid, 0x0A01, 0, L"6&1&0&0000", location);
  ports_.AddCamera(kVid, 0x0A01, 2, L"6&1&0&0002", location);  // the same device's second video function
  ASSERT_TRUE(UVC_OpenByLocationInfo(location.c_str()));
  std::wstring device_id;
  ASSERT_TRUE(UVC_GetDeviceId(device_id));
  EXPECT_EQ(device_id, L"usb\\vid_fc01&pid_0a01&mi_00\\6&1&0&0000");
  ASSERT_EQ(fcp::uvc::DevicesAtLocation(L"001.003.000.000.000.000").size(), 1u);

  const struct {
    const char* other;
    std::function<void(FakeCamera&)> make;
  } others[] = {
      {"a camera of this chip", [](FakeCamera&) {}},
      {"a camera without the unit", [](FakeCamera& c) { c.nodes[0].unit_set = text::Guid{}; }},
      {"a camera whose filter does not bind", [](FakeCamera& c) { c.bind_to_object = E_NOINTERFACE; }},
  };
  for (const auto& other : others) {
    SCOPED_TRACE(other.other);
    auto& camera = ports_.AddCamera(0x0B02, 0x0C03, 0, L"7&9&0&0000", L"");
    ports_.registry.SetString(L"SYSTEM\\ControlSet001\\Enum\\usb\\vid_0b02&pid_0c03&mi_00\\7&9&0&0000",
                              L"LocationInformation", L"0000.0015.0000.001.003.000.000.000.000");  // another bus
    other.make(camera);
    const auto devices = fcp::uvc::DevicesAtLocation(L"001.003.000.000.000.000");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[1].location_information, L"0000.0015.0000.001.003.000.000.000.000");
    EXPECT_EQ(devices[1].vid, 0x0B02);
    EXPECT_EQ(devices[1].pid, 0x0C03);

    ASSERT_TRUE(UVC_OpenByIndex(0));
    ports_.video_inputs.log.clear();
    EXPECT_FALSE(UVC_OpenByLocationInfo(location.c_str()));
    EXPECT_TRUE(ports_.video_inputs.log.empty()) << "a camera was opened";
    EXPECT_FALSE(UVC_GetDeviceId(device_id)) << "the camera selected before stays current";
    EXPECT_EQ(ports_.registry.open_keys, 0);
    // Gone again: the location names one device.
    ports_.video_inputs.cameras.pop_back();
    EXPECT_TRUE(UVC_OpenByLocationInfo(location.c_str()));
  }
}

TEST_F(CameraSelection, RegistryValueRules) {
  ports_.AddCamera(kVid, 0x0A01, 0, L"6&1&0&0000", L"001.001.000.000.000.000");
  const std::wstring key = L"SYSTEM\\ControlSet001\\Enum\\usb\\vid_fc01&pid_0a01&mi_00\\6&1&0&0000";
  ASSERT_TRUE(UVC_OpenByIndex(0));
  std::wstring text;
  // The first string of a multi-string.
  ASSERT_TRUE(UVC_ReadDeviceRegValue(L"HardwareID", text));
  EXPECT_EQ(text, L"USB\\VID_FC01&PID_0A01&REV_0100&MI_00");
  // 260 bytes fit (129 characters and the NUL); one character more does not.
  ports_.registry.SetString(key, L"LocationInformation", std::wstring(106, L'x') + L"001.001.000.000.000.000");
  ASSERT_TRUE(UVC_GetLocationInfo(text));
  EXPECT_EQ(text, L"001.001.000.000.000.000");
  ports_.registry.SetString(key, L"LocationInformation", std::wstring(107, L'x') + L"001.001.000.000.000.000");
  EXPECT_FALSE(UVC_GetLocationInfo(text));
  EXPECT_FALSE(UVC_OpenByLocationInfo(L"001.001.000.000.000.000"));
  // A value that fills the buffer without a NUL is read up to the buffer's end only.
  ASSERT_TRUE(UVC_OpenByIndex(0));
  ports_.registry.keys[key][L"HardwareID"] = Utf16Bytes(L"USB\\" + std::wstring(126, L'V'), false);
  ASSERT_TRUE(UVC_ReadDeviceRegValue(L"HardwareID", text));
  EXPECT_EQ(text.size(), 130u);
  // A short hardware ID gives no name; without "REV_" the revision reads 0.
  ports_.registry.SetString(key, L"HardwareID", L"USB\\VID");
  EXPECT_FALSE(UVC_GetDeviceName(text));
  uint16_t vid = 0, pid = 0, rev = 7;
  EXPECT_TRUE(UVC_GetVidPidRev(vid, pid, rev));
  EXPECT_EQ(vid, kVid);
  EXPECT_EQ(pid, 0x0A01);
  EXPECT_EQ(rev, 0);
  // No such value; a missing key.
  EXPECT_FALSE(UVC_ReadDeviceRegValue(L"Nothing", text));
  ports_.registry.keys.erase(key);
  EXPECT_FALSE(UVC_ReadDeviceRegValue(L"HardwareID", text));
  EXPECT_EQ(ports_.registry.open_keys, 0);
}

TEST_F(CameraSelection, DevicePathsWithoutUsbOrHash) {
  auto& no_usb = ports_.AddCamera(kVid, 0x0A01, 0, L"6&1&0&0000", L"001.001.000.000.000.000");
  no_usb.device_path = L"\\\\?\\USB#VID_FC01&PID_0A01&MI_00#6&1&0&0000#{x}\\global";
  auto& no_hash = ports_.AddCamera(kVid, 0x0A02, 0, L"6&2&0&0000", L"001.002.000.000.000.000");
  no_hash.device_path = L"VID_FC01&PID_0A02";
  auto& no_ids = ports_.AddCamera(kVid, 0x0A03, 0, L"6&3&0&0000", L"001.003.000.000.000.000");
  no_ids.device_path = L"\\\\?\\usb#camera#6&3&0&0000#{x}";

  std::wstring text;
  uint16_t vid = 0, pid = 0, rev = 0;
  // Opened, but its identifier is not a registry key of it: no location, no name.
  ASSERT_TRUE(UVC_OpenByIndex(0));
  ASSERT_TRUE(UVC_GetDeviceId(text));
  EXPECT_EQ(text, L"\\\\?\\USB\\VID_FC01&PID_0A01&MI_00\\6&1&0&0000");
  EXPECT_FALSE(UVC_GetLocationInfo(text));
  EXPECT_FALSE(UVC_GetDeviceName(text));
  // No '#': opened, with an empty identifier: no location, name, IDs or chip family.
  ASSERT_TRUE(UVC_OpenByIndex(1));
  EXPECT_FALSE(UVC_GetDeviceId(text));
  EXPECT_FALSE(UVC_GetLocationInfo(text));
  EXPECT_FALSE(UVC_GetDeviceName(text));
  EXPECT_FALSE(UVC_GetVidPidRev(vid, pid, rev));
  EXPECT_FALSE(UVC_IsVZQ2202());
  // The location selection passes both over; the default takes the first (its identifier holds
  // "MI_00" and it has no sensor mark), and so does the ID selection.
  EXPECT_FALSE(UVC_OpenByLocationInfo(L"001.002.000.000.000.000"));
  ASSERT_TRUE(UVC_OpenDefault());
  EXPECT_FALSE(UVC_GetLocationInfo(text));
  ASSERT_TRUE(UVC_OpenByVidPid(kVid, 0x0A01));
  // A path without VID/PID matches no IDs; its IDs read as 0 (its registry key still names it).
  EXPECT_FALSE(UVC_OpenByVidPid(0, 0));
  ASSERT_TRUE(UVC_OpenByIndex(2));
  vid = pid = 0x1111;
  EXPECT_FALSE(UVC_GetVidPidRev(vid, pid, rev));  // no device key under that identifier
  EXPECT_EQ(vid, 0);
  EXPECT_EQ(pid, 0);
}

// IDs from the device path (hexadecimal), revision from the hardware ID (decimal): a field without
// digits reads 0, reading stops at the first character that is not a digit of the number's base.
TEST_F(CameraSelection, VidPidRevFieldsWithoutDigitsReadZero) {
  const struct {
    const wchar_t* path;
    const wchar_t* hardware_id;
    uint16_t vid, pid, rev;
  } cases[] = {
      {L"\\\\?\\usb#vid_fc01&pid_0a01&mi_00#6&1&0&0000#{x}", L"USB\\VID_FC01&PID_0A01&REV_0100&MI_00", kVid, 0x0A01, 100},
      {L"\\\\?\\usb#vid_&pid_&mi_00#6&1&0&0000#{x}", L"USB\\VID_FC01&PID_0A01&REV_&MI_00", 0, 0, 0},
      {L"\\\\?\\usb#vid_xyzw&pid_12g4&mi_00#6&1&0&0000#{x}", L"USB\\VID_FC01&PID_0A01&REV_010A&MI_00", 0, 0x12, 10},
      {L"\\\\?\\usb#vid_fc01#6&1&0&0000#{x}", L"USB\\REV_99", kVid, 0, 99},
  };
  auto& camera = ports_.AddCamera(kVid, 0x0A01, 0, L"6&1&0&0000", L"001.001.000.000.000.000");
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::string(c.path, c.path + std::wcslen(c.path)));
    camera.device_path = c.path;
    ASSERT_TRUE(UVC_OpenByIndex(0));
    std::wstring id;
    ASSERT_TRUE(UVC_GetDeviceId(id));
    ports_.registry.SetString(L"SYSTEM\\ControlSet001\\Enum\\" + id, L"HardwareID", c.hardware_id);
    uint16_t vid = 0x5555, pid = 0x5555, rev = 0x5555;
    ASSERT_TRUE(UVC_GetVidPidRev(vid, pid, rev));
    EXPECT_EQ(vid, c.vid);
    EXPECT_EQ(pid, c.pid);
    EXPECT_EQ(rev, c.rev);
  }
}

}  // namespace
}  // namespace fcp::uvc::test
