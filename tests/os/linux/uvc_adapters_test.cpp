// The Linux camera adapters over a sysfs tree of the test's own: which nodes are cameras, the names
// they get, the registry facts, the topology from the descriptors, and a node that is no uvcvideo
// device failing its requests.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "../../uvc/camera_configuration.h"
#include "os/linux/device_registry_sysfs.h"
#include "os/linux/video_inputs_v4l2.h"
#include "uvc/vcmd.h"

namespace fcp::os {
namespace {

namespace fs = std::filesystem;

class LinuxUvcAdapters : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("fcp-sysfs-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    const fs::path usb = root_ / "sys/devices/pci0000:00/0000:00:14.0/usb1";
    // A camera at bus 1, ports 3.2: video-control interface 0 with a capture and a metadata node.
    const fs::path device = usb / "1-3.2";
    Write(device / "idVendor", "fc01\n");
    Write(device / "idProduct", "0a01\n");
    Write(device / "bcdDevice", "0102\n");
    Write(device / "busnum", "1\n");
    Write(device / "devpath", "3.2\n");
    std::vector<uint8_t> descriptors = {18, 1, 0, 2, 0xEF, 2, 1, 64, 0x01, 0xFC, 0x01, 0x0A, 0x02, 0x01, 1, 2, 0, 1};
    const auto configuration = uvc::test::CameraConfiguration(0, {{4, uvc::kExtensionUnitGuid}});
    descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
    std::ofstream(device / "descriptors", std::ios::binary)
        .write(reinterpret_cast<const char*>(descriptors.data()), static_cast<std::streamsize>(descriptors.size()));
    const fs::path vc = device / "1-3.2:1.0";
    Write(vc / "bInterfaceNumber", "00\n");
    Write(vc / "bInterfaceClass", "0e\n");
    Write(vc / "bInterfaceSubClass", "01\n");
    Node("video0", vc, 0, "Kamera Größe 日本 😀");
    Node("video1", vc, 1, "Virtual Camera");
    // A capture node of something that is no USB video-control interface.
    const fs::path other = root_ / "sys/devices/platform/vivid.0";
    Write(other / "bInterfaceClass", "ff\n");
    Node("video2", other, 0, "vivid");
    fs::create_directories(root_ / "sys/bus/usb/devices");
    fs::create_directory_symlink(vc, root_ / "sys/bus/usb/devices/1-3.2:1.0");
    fs::create_directories(root_ / "dev");
    Write(root_ / "dev/video0", "");
  }
  void TearDown() override { fs::remove_all(root_); }

  static void Write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }
  void Node(const std::string& name, const fs::path& interface_dir, int index, const std::string& label) {
    const fs::path node = interface_dir / "video4linux" / name;
    Write(node / "index", std::to_string(index) + "\n");
    Write(node / "name", label + "\n");
    fs::create_directory_symlink(interface_dir, node / "device");
    fs::create_directories(root_ / "sys/class/video4linux");
    fs::create_directory_symlink(node, root_ / "sys/class/video4linux" / name);
  }

  fs::path root_;
};

TEST_F(LinuxUvcAdapters, CameraNamesTopologyAndRequests) {
  auto inputs = MakeV4l2VideoInputs((root_ / "sys").string(), (root_ / "dev").string());
  std::unique_ptr<MonikerEnumerator> enumerator;
  ASSERT_EQ(inputs->CreateVideoInputEnumerator(enumerator), S_OK);
  std::unique_ptr<DeviceMoniker> moniker;
  ASSERT_EQ(enumerator->Next(moniker), S_OK);
  std::unique_ptr<DeviceMoniker> none;
  EXPECT_EQ(enumerator->Next(none), S_FALSE);  // the metadata node and the foreign node are no cameras

  std::unique_ptr<PropertyBag> bag;
  ASSERT_EQ(moniker->BindToStorage(bag), S_OK);
  std::wstring text;
  ASSERT_EQ(bag->Read(L"DevicePath", text), S_OK);
  EXPECT_EQ(text, L"\\\\?\\usb#vid_fc01&pid_0a01&mi_00#1-3.2:1.0#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global");
  ASSERT_EQ(bag->Read(L"FriendlyName", text), S_OK);
  EXPECT_EQ(text, L"Kamera Größe 日本 😀");

  std::unique_ptr<VideoFilter> filter;
  ASSERT_EQ(moniker->BindToObject(filter), S_OK);
  std::unique_ptr<KsTopologyInfo> topology;
  ASSERT_EQ(filter->QueryTopologyInfo(topology), S_OK);
  uint32_t nodes = 0;
  ASSERT_EQ(topology->GetNumNodes(nodes), S_OK);
  ASSERT_EQ(nodes, 4u);
  text::Guid type;
  ASSERT_EQ(topology->GetNodeType(2, type), S_OK);
  EXPECT_EQ(type, kKsNodeTypeDevSpecific);
  std::unique_ptr<KsControl> control;
  ASSERT_EQ(topology->CreateNodeInstance(2, control), S_OK);
  EXPECT_EQ(control->KsProperty({uvc::kExtensionUnitGuid, 10, 0x10000100, 2, 0}, 32, nullptr, 0, nullptr), S_OK);
  // A file that is no uvcvideo node refuses the request: a device failure to the camera side.
  uint8_t data[8] = {};
  EXPECT_EQ(control->KsProperty({uvc::kExtensionUnitGuid, 10, 0x10000001, 2, 0}, 32, data, 8, nullptr),
            HresultFromWin32(31));
  // No device node: the filter cannot be made.
  fs::remove(root_ / "dev/video0");
  EXPECT_EQ(moniker->BindToObject(filter), HresultFromWin32(ERROR_FILE_NOT_FOUND));
}

TEST_F(LinuxUvcAdapters, RegistryFactsFromSysfs) {
  auto registry = MakeSysfsDeviceRegistry((root_ / "sys").string());
  RegistryKey key = 0;
  // The key name the camera side derives from the device path, in any case.
  ASSERT_EQ(registry->OpenKey(RegistryRoot::kLocalMachine, L"SYSTEM\\ControlSet001\\Enum\\USB\\VID_FC01&PID_0A01&MI_00\\1-3.2:1.0",
                              0, kRegistryKeyRead, key), ERROR_SUCCESS);
  uint8_t buffer[260];
  uint32_t size = sizeof buffer;
  ASSERT_EQ(registry->QueryValue(key, L"LocationInformation", nullptr, buffer, size), ERROR_SUCCESS);
  std::wstring text;
  for (uint32_t i = 0; i + 1 < size && buffer[i] != 0; i += 2) text.push_back(static_cast<wchar_t>(buffer[i]));
  EXPECT_EQ(text, L"0001.0000.0000.003.002.000.000.000.000");
  size = sizeof buffer;
  uint32_t type = 0;
  ASSERT_EQ(registry->QueryValue(key, L"HardwareID", &type, buffer, size), ERROR_SUCCESS);
  EXPECT_EQ(type, kRegMultiSz);
  text.clear();
  for (uint32_t i = 0; i + 1 < size && buffer[i] != 0; i += 2) text.push_back(static_cast<wchar_t>(buffer[i]));
  EXPECT_EQ(text, L"USB\\VID_FC01&PID_0A01&REV_0102&MI_00");
  size = 4;
  EXPECT_EQ(registry->QueryValue(key, L"HardwareID", nullptr, buffer, size), ERROR_MORE_DATA);
  EXPECT_EQ(registry->CloseKey(key), ERROR_SUCCESS);

  ASSERT_EQ(registry->OpenKey(RegistryRoot::kLocalMachine,
                              L"SYSTEM\\ControlSet001\\Enum\\usb\\vid_fc01&pid_0a01&mi_00\\1-3.2:1.0\\Device Parameters", 0,
                              kRegistryKeyRead, key), ERROR_SUCCESS);
  size = 4;
  EXPECT_EQ(registry->QueryValue(key, L"SensorCameraMode", nullptr, buffer, size), ERROR_FILE_NOT_FOUND);
  registry->CloseKey(key);
  // Wrong IDs for the interface, another tree, a path that climbs out: absent.
  for (const wchar_t* path : {L"SYSTEM\\ControlSet001\\Enum\\usb\\vid_fc01&pid_0a02&mi_00\\1-3.2:1.0",
                              L"SYSTEM\\ControlSet002\\Enum\\usb\\vid_fc01&pid_0a01&mi_00\\1-3.2:1.0",
                              L"SYSTEM\\ControlSet001\\Enum\\usb\\vid_fc01&pid_0a01&mi_00\\..",
                              L"SYSTEM\\ControlSet001\\Enum\\"}) {
    EXPECT_EQ(registry->OpenKey(RegistryRoot::kLocalMachine, path, 0, kRegistryKeyRead, key), ERROR_FILE_NOT_FOUND)
        << std::string(path, path + std::wcslen(path));
  }
}

TEST(LinuxUvcAdaptersEmpty, NoVideoNodesIsAnEmptyCategory) {
  auto inputs = MakeV4l2VideoInputs("/nonexistent-sys", "/nonexistent-dev");
  std::unique_ptr<MonikerEnumerator> enumerator;
  EXPECT_EQ(inputs->CreateVideoInputEnumerator(enumerator), S_FALSE);
}

}  // namespace
}  // namespace fcp::os
