// The camera layer's start-up, camera list and interface open, over the virtual workstation's
// device tree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/port.h"
#include "passthrough/kvcam.h"
#include "sim/devices.h"
#include "sim/windows/device_tree_view.h"
#include "sim/windows/windows_views.h"

namespace fcp::passthrough::test {
namespace {

using sim::windows::DeviceInstanceIdOf;
using sim::windows::DeviceTreeView;

class FakeCameraLayerHost final : public os::CameraLayerHost {
 public:
  bool vista = true;
  int startup_result = 0;
  WORD granted = 0x0202;
  int startups = 0, cleanups = 0, mutexes = 0;
  std::vector<DWORD> sleeps;
  BOOL VersionAtLeast(DWORD major, DWORD minor, WORD service_pack) override {
    return vista && major == 6 && minor == 0 && service_pack == 0;
  }
  uintptr_t CreateNamedMutex(const wchar_t* name) override {
    ++mutexes;
    return std::wstring(name) == L"ICOperateSync_2014_3_28" ? 0x44 : 0;
  }
  int WsaStartup(WORD requested, WORD* version) override {
    ++startups;
    *version = requested == 0x0202 ? granted : 0;
    return startup_result;
  }
  int WsaCleanup() override { return ++cleanups, 0; }
  void SleepMs(DWORD ms) override { sleeps.push_back(ms); }
};

sim::DeviceSpec Camera(std::string id, std::vector<uint8_t> ports, nlohmann::json tree = nullptr) {
  sim::DeviceSpec shape = sim::ChipCameraSpec(std::move(id), std::move(ports));
  if (!tree.is_null()) shape.views = {{"device_tree", tree}};
  return shape;
}

class CameraLayer : public ::testing::Test {
 protected:
  std::shared_ptr<sim::Workstation> ws_ = std::make_shared<sim::Workstation>();
  DeviceTreeView tree_{ws_};
  FakeCameraLayerHost host_;
  os::ScopedPort<os::DeviceSetup> setup_port_{&tree_};
  os::ScopedPort<os::CameraLayerHost> host_port_{&host_};

  void Add(const sim::DeviceSpec& shape) { ASSERT_TRUE(ws_->AddDevice(sim::MakeDevice(shape))); }
  std::wstring FunctionId(const std::string& id) { return DeviceInstanceIdOf(*ws_->Find(id), 0); }

  struct Listed {
    DWORD result;
    std::vector<KvCamDeviceInfo> records;
  };
  Listed List() {
    KvCamDeviceInfo* records = reinterpret_cast<KvCamDeviceInfo*>(0x1);
    int32_t count = -1;
    const DWORD result = KvCam_ListDevice(&records, &count, kKvCamListCameras);
    Listed listed{result, {}};
    if (result == 0) {
      listed.records.assign(records, records + count);
    } else {
      EXPECT_EQ(records, nullptr);
      EXPECT_EQ(count, 0);
    }
    KvCam_FreeDeviceList(result == 0 ? records : nullptr);
    EXPECT_EQ(tree_.OpenSets(), 0u);
    return listed;
  }
};

TEST_F(CameraLayer, InitRecordsVersionOpensMutexStartsWinsock) {
  EXPECT_TRUE(KvxUpxCam_Init());
  EXPECT_TRUE(KvCam_IsVistaOrLater());
  host_.vista = false;
  EXPECT_TRUE(KvxUpxCam_Init());  // a second start in the same process succeeds too
  EXPECT_FALSE(KvCam_IsVistaOrLater());
  EXPECT_EQ(host_.mutexes, 2);
  EXPECT_EQ(host_.cleanups, 0);

  host_.granted = 0x0101;  // another version granted: cleaned up again
  EXPECT_FALSE(KvxUpxCam_Init());
  EXPECT_EQ(host_.cleanups, 1);
  host_.startup_result = 10091;  // WSASYSNOTREADY
  EXPECT_FALSE(KvxUpxCam_Init());
  os::ScopedPort<os::CameraLayerHost> none(nullptr);
  EXPECT_FALSE(KvxUpxCam_Init());
}

TEST_F(CameraLayer, ListingOrderNamesAndProblemDevices) {
  struct Case {
    const char* what;
    std::vector<sim::DeviceSpec> devices;
    std::vector<std::pair<std::string, std::wstring>> expected;  // device id, display name
  };
  const Case cases[] = {
      {"nothing present", {}, {}},
      {"no camera among the devices", {[] { sim::DeviceSpec d = sim::ChipCameraSpec("dfu", {1}); d.kind = sim::DeviceKind::kForeignDfu; return d; }()}, {}},
      {"image class before camera class",
       {Camera("cam0", {1}, {{"setup_class", "Camera"}, {"friendly_name", "Front"}}), Camera("cam1", {2}, {{"friendly_name", "Back"}})},
       {{"cam1", L"Back"}, {"cam0", L"Front"}}},
      {"generic names count problem devices and start again per class",
       {Camera("cam0", {1}, {{"problem", 10}}), Camera("cam1", {2}, {{"friendly_name", nullptr}}),
        Camera("cam2", {3}, {{"setup_class", "Camera"}, {"friendly_name", nullptr}})},
       {{"cam1", L"Usb Video Device #2"}, {"cam2", L"Usb Video Device #1"}}},
      {"other classes are not listed", {Camera("cam0", {1}, {{"setup_class", "Media"}}), Camera("cam1", {2}, {{"setup_class", "USB"}})}, {}},
      {"names outside ASCII, the scenario's and the product string's",
       {Camera("cam0", {1}, {{"friendly_name", "Kamera Größe 日本 😀"}}),
        [] { sim::DeviceSpec d = sim::ChipCameraSpec("cam1", {2}); d.strings["product"] = sim::StringSpec("Größe 😀"); return d; }()},
       {{"cam0", L"Kamera Größe 日本 😀"}, {"cam1", L"Größe 😀"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ws_ = std::make_shared<sim::Workstation>();
    DeviceTreeView view(ws_);
    os::ScopedPort<os::DeviceSetup> port(&view);
    for (const auto& shape : c.devices) Add(shape);
    KvCamDeviceInfo* records = nullptr;
    int32_t count = 0;
    const DWORD result = KvCam_ListDevice(&records, &count, kKvCamListCameras);
    ASSERT_EQ(result, c.expected.empty() ? os::kErrorNoMoreItems : 0u);
    ASSERT_EQ(count, static_cast<int32_t>(c.expected.size()));
    for (size_t i = 0; i < c.expected.size(); ++i) {
      const std::wstring id = FunctionId(c.expected[i].first);
      EXPECT_EQ(std::wstring(records[i].device_instance_id), id);
      EXPECT_EQ(std::wstring(records[i].display_name), c.expected[i].second);
      EXPECT_EQ(records[i].dev_inst, view.DevInstOf(id));
    }
    KvCam_FreeDeviceList(records);
    EXPECT_EQ(view.OpenSets(), 0u);
  }
}

TEST_F(CameraLayer, ListingFailuresLeaveNoArrayAndNoSets) {
  Add(Camera("cam0", {1}));
  Add(Camera("cam1", {2}, {{"setup_class", "Camera"}}));
  KvCamDeviceInfo* records = nullptr;
  int32_t count = 5;
  EXPECT_EQ(KvCam_ListDevice(nullptr, &count, 1), 87u);
  EXPECT_EQ(count, 5);  // untouched
  EXPECT_EQ(KvCam_ListDevice(&records, nullptr, 1), 87u);

  // A leftover ERROR_NOT_ALL_ASSIGNED after building a set is no failure; any other error is.
  tree_.SetErrorLeftByClassDevs(os::kErrorNotAllAssigned);
  EXPECT_EQ(List().records.size(), 2u);
  tree_.SetErrorLeftByClassDevs(5);
  EXPECT_EQ(List().result, 5u);
  tree_.SetErrorLeftByClassDevs(0);

  struct Fault {
    const char* what;
    std::string call;
    uint32_t error;
    DWORD expected;
  };
  const Fault faults[] = {
      {"the image set cannot be built", "GetClassDevs", 5, 5},
      {"enumeration breaks off while counting", "EnumDeviceInfo", 31, 31},
      // No record without its ID: the configuration manager's result.
      {"a camera's ID cannot be read", "GetDeviceId", os::kCrNoSuchDevnode, os::kCrNoSuchDevnode},
      {"a camera's ID does not fit", "GetDeviceId", os::kCrBufferSmall, os::kCrBufferSmall},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.what);
    tree_.SetFault([&](std::string_view call, const std::wstring&) { return call == f.call ? f.error : 0u; });
    EXPECT_EQ(List().result, f.expected);
  }

  // A device goes away between counting and filling: the listing fails as a whole.
  int status_calls = 0;
  tree_.SetFault([&](std::string_view call, const std::wstring& subject) -> uint32_t {
    if (call != "GetDevNodeStatus" || subject != FunctionId("cam1")) return 0;
    return ++status_calls > 1 ? os::kCrNoSuchDevnode : 0;
  });
  const Listed changed = List();
  EXPECT_NE(changed.result, 0u);
  EXPECT_EQ(status_calls, 2);
  tree_.SetFault(nullptr);
  EXPECT_EQ(List().records.size(), 2u);
}

TEST_F(CameraLayer, OpenInterfaceTakesTheFirstInterfaceOfTheClass) {
  Add(Camera("cam0", {1}));
  Add(Camera("cam1", {2}, {{"setup_class", "Camera"}}));
  const os::DevInst image = tree_.DevInstOf(FunctionId("cam0"));
  const os::DevInst camera = tree_.DevInstOf(FunctionId("cam1"));
  EXPECT_EQ(KvCam_OpenInterface(image, sim::windows::interface_class::kCameraSensor, nullptr), 87u);

  os::InterfaceHandle handle = 0;
  ASSERT_EQ(KvCam_OpenInterface(image, sim::windows::interface_class::kCameraSensor, &handle), 0u);
  EXPECT_NE(handle, 0u);
  // Opened for exclusive use: a second open of the same interface is refused.
  os::InterfaceHandle second = 0;
  EXPECT_EQ(KvCam_OpenInterface(image, sim::windows::interface_class::kCameraSensor, &second), 32u);
  EXPECT_EQ(second, 0u);
  EXPECT_TRUE(tree_.CloseInterfaceFile(handle));

  // A camera-class camera has no sensor interface, but its video-category one.
  EXPECT_EQ(KvCam_OpenInterface(camera, sim::windows::interface_class::kCameraSensor, &second), os::kErrorNoMoreItems);
  ASSERT_EQ(KvCam_OpenInterface(camera, sim::windows::interface_class::kKsVideo, &second), 0u);
  EXPECT_TRUE(tree_.CloseInterfaceFile(second));

  // An ID that cannot be read whole (the camera was pulled after the listing) fails with the
  // configuration manager's result: no set is built, least of all one of every device.
  for (const uint32_t error : {os::kCrNoSuchDevnode, os::kCrBufferSmall}) {
    SCOPED_TRACE(error);
    std::vector<std::wstring> enumerators;
    tree_.SetFault([&](std::string_view call, const std::wstring& subject) -> uint32_t {
      if (call == "GetClassDevs") enumerators.push_back(subject);
      return call == "GetDeviceId" ? error : 0u;
    });
    handle = 0;
    EXPECT_EQ(KvCam_OpenInterface(image, sim::windows::interface_class::kCameraSensor, &handle), error);
    tree_.SetFault(nullptr);
    EXPECT_EQ(handle, 0u);
    EXPECT_TRUE(enumerators.empty());
    EXPECT_EQ(tree_.OpenSets(), 0u);
    EXPECT_EQ(tree_.OpenInterfaceFiles(), 0u);
  }

  // A node that is gone: its set is empty, which is a failure and not a success without a handle.
  ws_->SetConnected("cam1", false);
  handle = 0;
  EXPECT_NE(KvCam_OpenInterface(camera, sim::windows::interface_class::kKsVideo, &handle), 0u);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(tree_.OpenSets(), 0u);
  EXPECT_EQ(tree_.OpenInterfaceFiles(), 0u);
}

}  // namespace
}  // namespace fcp::passthrough::test
