// Camera connections through the driver on the virtual workstation: the simulated Windows runs the
// driver core on its kernel, the device tree serves the camera layer, and the workstation's devices
// answer the driver's requests.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/kvxupx_ioctl.h"
#include "passthrough/kvcam.h"
#include "passthrough/kvxupx.h"
#include "sim/devices.h"
#include "sim/windows/passthrough_views.h"
#include "sim/windows/windows_views.h"

namespace fcp::passthrough::test {
namespace {

using sim::windows::DeviceInstanceIdOf;

sim::DeviceSpec Camera(std::string id, std::vector<uint8_t> ports, uint8_t bus = 1, nlohmann::json tree = nullptr) {
  sim::DeviceSpec shape = sim::ChipCameraSpec(std::move(id), std::move(ports), bus);
  if (!tree.is_null()) shape.views = {{"device_tree", tree}};
  return shape;
}

// Answers the submission control with an error (by default "not ready") a number of times, then lets
// it through.
class NotReadyDevice final : public os::DriverDevice {
 public:
  NotReadyDevice(sim::windows::SimWindowsProcess& process, int not_ready, DWORD error = os::kErrorNotReady)
      : process_(process), not_ready_(not_ready), error_(error) {}
  os::SystemHandle Open(const std::wstring& path) override { return process_.Open(path); }
  BOOL IoControl(os::SystemHandle device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                 DWORD* returned) override {
    if (code == kvxupx::kIoctlSubmitUrb) {
      ++submissions;
      if (not_ready_ != 0) {
        if (not_ready_ > 0) --not_ready_;
        process_.SetLastErrorCode(error_);
        return 0;
      }
    }
    return process_.IoControl(device, code, in, in_size, out, out_size, returned);
  }
  BOOL Close(os::SystemHandle device) override { return process_.Close(device); }
  int submissions = 0;

 private:
  sim::windows::SimWindowsProcess& process_;
  int not_ready_;  // -1: for ever
  DWORD error_;
};

class CameraConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(KvxUpx_Init(), 1);
    ASSERT_TRUE(KvxUpxCam_Init());
  }
  void TearDown() override {
    KvxUpx_Close();
    EXPECT_EQ(pass_.Tree().OpenInterfaceFiles(), 0u);
    EXPECT_EQ(pass_.KernelDevices().OpenHandles(), 0u);
    EXPECT_EQ(pass_.Tree().OpenSets(), 0u);
  }

  void Add(const sim::DeviceSpec& shape) { ASSERT_TRUE(ws_->AddDevice(sim::MakeDevice(shape))); }
  os::DevInst Node(const std::string& id) { return pass_.Tree().DevInstOf(DeviceInstanceIdOf(*ws_->Find(id), 0)); }
  // The transport kind of the last open-device control that reached the driver.
  uint32_t LastTransportKind() {
    const auto blocks = pass_.Windows().ControlBlocks();
    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) {
      kvxupx::ControlBlock64 block{};
      if (it->size() != sizeof block) continue;
      std::memcpy(&block, it->data(), sizeof block);
      if (block.interface_handle != 0) return block.transport_kind;
    }
    return ~0u;
  }

  std::shared_ptr<sim::Workstation> ws_ = std::make_shared<sim::Workstation>();
  sim::ScopedWorkstation current_{ws_};
  sim::windows::ScopedWindowsViews views_{ws_};
  sim::windows::PassThroughViews pass_{ws_};
  sim::windows::ScopedPassThroughPorts ports_{pass_, views_.Views().Registry()};
};

TEST_F(CameraConnection, OpenFillsTheObjectFromTheTreeAndTheDriver) {
  Add(Camera("root", {1}));
  Add(Camera("behindHub", {2, 4}));
  Add(Camera("usb2", {3}, 2, {{"setup_class", "Camera"}}));
  struct Case {
    std::string id;
    int32_t class_kind, root_hub_kind, ancestor_count;
    uint32_t transport;
    std::wstring location_path;
  };
  const Case cases[] = {
      {"root", 1, 3, 2, 0, L"PCIROOT(0)#PCI(1401)#USBROOT(0)#USB(1)#USBMI(0)"},
      {"behindHub", 1, 3, 3, 0, L"PCIROOT(0)#PCI(1401)#USBROOT(0)#USB(2)#USB(4)#USBMI(0)"},
      // Camera class: no sensor interface, opened through the video category, the same transport.
      {"usb2", 1, 2, 2, 0, L"PCIROOT(0)#PCI(1402)#USBROOT(0)#USB(3)#USBMI(0)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const os::DevInst node = Node(c.id);
    KvCamDevice device{};
    ASSERT_EQ(KvCam_OpenDevice(&device, node), 0u);
    EXPECT_EQ(std::memcmp(device.transport_tag, "KVCD", 4), 0);
    EXPECT_NE(device.driver_handle_low | device.driver_handle_high, 0u);
    EXPECT_NE(device.interface_handle, 0u);
    EXPECT_EQ(device.dev_inst, node);
    EXPECT_EQ(device.class_kind, c.class_kind);
    EXPECT_EQ(device.root_hub_kind, c.root_hub_kind);
    EXPECT_EQ(device.ancestor_count, c.ancestor_count);
    EXPECT_EQ(device.interface_number, 0);
    EXPECT_EQ(device.ancestors[0], 0u);  // Vista and later
    EXPECT_EQ(std::wstring(device.location_path), c.location_path);
    EXPECT_EQ(std::wstring(device.display_name), L"Virtual Camera");
    EXPECT_EQ(LastTransportKind(), c.transport);
    // Ancestors: the hubs up to the root hub; the composite device is not among them.
    const auto nodes = pass_.Tree().Nodes();
    std::wstring parent_of_function;
    for (const auto& n : nodes) {
      if (n.instance_id == DeviceInstanceIdOf(*ws_->Find(c.id), 0)) parent_of_function = n.parent_id;
    }
    std::wstring hub;
    for (const auto& n : nodes) {
      if (n.instance_id == parent_of_function) hub = n.parent_id;
    }
    EXPECT_EQ(device.ancestors[1], pass_.Tree().DevInstOf(hub));
    uint8_t descriptor[18];
    EXPECT_EQ(KvxUpx_GetDeviceDescriptor(device.driver_handle_low, device.driver_handle_high, descriptor), 1);
    KvCam_CloseDevice(&device);
    EXPECT_EQ(device.interface_handle, 0u);
    EXPECT_EQ(device.ancestor_count, 0);
    EXPECT_EQ(pass_.Tree().OpenInterfaceFiles(), 0u);
  }

  // Before Vista: entry 0 holds the bus address (the port), no location path.
  pass_.Host().vista_or_later = false;
  ASSERT_TRUE(KvxUpxCam_Init());
  KvCamDevice old{};
  ASSERT_EQ(KvCam_OpenDevice(&old, Node("behindHub")), 0u);
  EXPECT_EQ(old.ancestors[0], 4u);
  EXPECT_EQ(old.location_path[0], L'\0');
  KvCam_CloseDevice(&old);
}

TEST_F(CameraConnection, FailedOpensLeaveTheObjectAndReleaseWhatTheyGot) {
  Add(Camera("cam0", {1}));
  Add(Camera("other", {2}, 1, {{"setup_class", "Scanner"}}));
  struct Case {
    const char* what;
    std::string device;
    std::string failing_call;  // in the device tree; "" none
    bool at_root_hub;           // the call fails for the root hub rather than the function
    DWORD expected;
  };
  const Case cases[] = {
      {"the driver refuses the transport kind of another class", "other", "", false, 87},
      {"no parent of the composite function", "cam0", "GetParent", false, os::kCrNoSuchDevnode},
      {"the root hub's ID cannot be read", "cam0", "GetDeviceId", true, os::kCrNoSuchDevnode},
      {"no interface of either class", "cam0", "EnumDeviceInterfaces", false, 31},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring function = DeviceInstanceIdOf(*ws_->Find(c.device), 0);
    pass_.Tree().SetFault([&](std::string_view call, const std::wstring& subject) -> uint32_t {
      if (call != c.failing_call) return 0;
      if (c.at_root_hub) return subject.find(L"ROOT_HUB") != std::wstring::npos ? 0x0D : 0;
      return subject == function ? (call == "GetParent" ? 0x0D : 31) : 0;
    });
    KvCamDevice device{};
    const size_t blocks_before = pass_.Windows().ControlBlocks().size();
    const DWORD result = KvCam_OpenDevice(&device, Node(c.device));
    pass_.Tree().SetFault(nullptr);
    if (c.expected == 87) {
      EXPECT_NE(result, 0u);
    } else {
      EXPECT_EQ(result, c.expected);
    }
    const KvCamDevice zero{};
    EXPECT_EQ(std::memcmp(&device, &zero, sizeof device), 0);
    // A registration the open got (the walk fails after it) is given back: a close follows the open.
    const auto blocks = pass_.Windows().ControlBlocks();
    int registrations = 0;
    for (size_t i = blocks_before; i < blocks.size(); ++i) {
      kvxupx::ControlBlock64 block{};
      if (blocks[i].size() < sizeof block) continue;
      std::memcpy(&block, blocks[i].data(), sizeof block);
      if (block.interface_handle != 0) ++registrations;                            // open-device
      if (block.interface_handle == 0 && block.urb_address == 0) --registrations;  // close-device
    }
    if (c.at_root_hub) {
      EXPECT_EQ(registrations, 0);
    }
    // Neither the interface file nor a registration stays behind: the device opens again at once.
    EXPECT_EQ(pass_.Tree().OpenInterfaceFiles(), 0u);
    if (c.device == "cam0") {
      KvCamDevice again{};
      ASSERT_EQ(KvCam_OpenDevice(&again, Node("cam0")), 0u);
      KvCam_CloseDevice(&again);
    }
  }
  // Closing a zero-filled object sends nothing to the driver and closes nothing.
  const size_t blocks = pass_.Windows().ControlBlocks().size();
  KvCamDevice zero{};
  KvCam_CloseDevice(&zero);
  EXPECT_EQ(pass_.Windows().ControlBlocks().size(), blocks);
}

TEST_F(CameraConnection, ReadinessWaitIsBounded) {
  Add(Camera("cam0", {1}));
  struct Case {
    int not_ready;
    int probes;
    DWORD error = os::kErrorNotReady;
  };
  constexpr DWORD kErrorGenFailure = 31;  // a stalled descriptor read: waiting longer changes nothing
  for (const Case c : {Case{0, 1}, Case{3, 4}, Case{-1, kKvCamReadinessProbes}, Case{-1, 1, kErrorGenFailure}}) {
    SCOPED_TRACE(::testing::Message() << c.not_ready << " answers of error " << c.error);
    NotReadyDevice device(pass_.Process(), c.not_ready, c.error);
    os::ScopedPort<os::DriverDevice> port(&device);
    const uint64_t slept = pass_.Host().slept_ms;
    KvCamDevice camera{};
    EXPECT_EQ(KvCam_OpenDevice(&camera, Node("cam0")), 0u);  // ready or not, the open succeeds
    EXPECT_EQ(device.submissions, c.probes);
    EXPECT_EQ(pass_.Host().slept_ms - slept, uint64_t{kKvCamReadinessPauseMs} * c.probes);
    KvCam_CloseDevice(&camera);
  }
}

// The camera's ID is read twice (for its device set, then to see whether it is a composite device's
// function); when either read fails or comes back cut, the open fails with the configuration
// manager's result before any set is built from what was read, and nothing is registered.
TEST_F(CameraConnection, AnUnreadableIdFailsTheOpenWithTheConfigurationManagersResult) {
  Add(Camera("cam0", {1}));
  Add(Camera("cam1", {2}));
  struct Case {
    const char* what;
    int failing_read;  // of the camera's ID: 1 or 2
    uint32_t error;
  };
  const Case cases[] = {
      {"pulled before the open", 1, os::kCrNoSuchDevnode},
      {"cut to the buffer", 1, os::kCrBufferSmall},
      {"pulled between the two reads", 2, os::kCrNoSuchDevnode},
  };
  const std::wstring function = DeviceInstanceIdOf(*ws_->Find("cam0"), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int reads = 0;
    std::vector<std::wstring> enumerators;
    pass_.Tree().SetFault([&](std::string_view call, const std::wstring& subject) -> uint32_t {
      if (call == "GetClassDevs") enumerators.push_back(subject);
      if (call != "GetDeviceId" || subject != function) return 0;
      return ++reads == c.failing_read ? c.error : 0;
    });
    const size_t blocks_before = pass_.Windows().ControlBlocks().size();
    KvCamDevice device{};
    EXPECT_EQ(KvCam_OpenDevice(&device, Node("cam0")), c.error);
    pass_.Tree().SetFault(nullptr);
    for (const std::wstring& enumerator : enumerators) EXPECT_EQ(enumerator, function);
    EXPECT_EQ(enumerators.size(), size_t(c.failing_read - 1));
    EXPECT_EQ(pass_.Windows().ControlBlocks().size(), blocks_before);  // nothing registered
    const KvCamDevice zero{};
    EXPECT_EQ(std::memcmp(&device, &zero, sizeof device), 0);
    EXPECT_EQ(pass_.Tree().OpenInterfaceFiles(), 0u);
  }
}

// The walk up the USB tree keeps at most 31 ancestors (entry 0 is the bus address): a root hub that is
// the 31st ancestor is reached, one that would be the 32nd is not, and the open fails with 2.
TEST_F(CameraConnection, WalkToTheRootHubStopsAfter31Ancestors) {
  // A camera behind n-1 hubs has n ancestors: the hubs and the root hub.
  const auto behind = [](size_t ancestors) { return std::vector<uint8_t>(ancestors, 1); };
  Add(Camera("deepest", behind(kKvCamMaxAncestors - 1)));
  Add(Camera("tooDeep", behind(kKvCamMaxAncestors), 2));

  KvCamDevice device{};
  ASSERT_EQ(KvCam_OpenDevice(&device, Node("deepest")), 0u);
  EXPECT_EQ(device.ancestor_count, kKvCamMaxAncestors);
  EXPECT_EQ(device.root_hub_kind, 3);
  std::wstring root_hub;  // bus 1's; bus 2 has a USB 2 root hub
  for (const auto& n : pass_.Tree().Nodes()) {
    if (n.instance_id.find(L"ROOT_HUB30") != std::wstring::npos) root_hub = n.instance_id;
  }
  EXPECT_EQ(device.ancestors[kKvCamMaxAncestors - 1], pass_.Tree().DevInstOf(root_hub));
  KvCam_CloseDevice(&device);

  KvCamDevice too_deep{};
  EXPECT_EQ(KvCam_OpenDevice(&too_deep, Node("tooDeep")), 2u);
  const KvCamDevice zero{};
  EXPECT_EQ(std::memcmp(&too_deep, &zero, sizeof too_deep), 0);
}

}  // namespace
}  // namespace fcp::passthrough::test
