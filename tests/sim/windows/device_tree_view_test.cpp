// The workstation as a device tree: node IDs, parents, classes, properties and interfaces as the
// device-setup port serves them.
#include "sim/windows/device_tree_view.h"

#include <gtest/gtest.h>

#include <array>
#include <map>

#include "sim/devices.h"
#include "sim/windows/windows_views.h"

namespace fcp::sim::windows {
namespace {

std::map<std::wstring, DeviceNode> ById(const std::vector<DeviceNode>& nodes) {
  std::map<std::wstring, DeviceNode> by_id;
  for (const auto& node : nodes) by_id[node.instance_id] = node;
  return by_id;
}

// The instance IDs from a node up to the tree's root.
std::vector<std::wstring> Ancestry(const std::map<std::wstring, DeviceNode>& by_id, std::wstring id) {
  std::vector<std::wstring> chain;
  while (!id.empty()) {
    chain.push_back(id);
    id = by_id.at(id).parent_id;
  }
  return chain;
}

TEST(DeviceTreeView, TreeOfHubsCompositeCamerasAndFunctions) {
  auto ws = std::make_shared<Workstation>();
  auto cam = MakeChipCamera("cam0", {2, 4}, 1);        // behind a generic hub on a USB 3 root hub
  DeviceSpec hidden = ChipCameraSpec("cam1", {1}, 2);  // on a USB 2 root hub; libusb does not see it
  hidden.views = {{"device_tree", {{"setup_class", "Camera"}, {"friendly_name", nullptr}, {"problem", 10}}}};
  auto cam1 = MakeDevice(hidden);
  cam1->libusb_visible = false;
  DeviceSpec hub;
  hub.id = "hub";
  hub.kind = DeviceKind::kHub;
  hub.place = {1, {3}, 0};
  DeviceSpec cam2_shape = ChipCameraSpec("cam2", {3, 1}, 1);
  cam2_shape.views = {{"device_tree", {{"setup_class", "Kamera 日本"}}}};
  cam2_shape.strings["product"] = StringSpec("Größe 😀");
  ASSERT_TRUE(ws->AddDevice(cam));
  ASSERT_TRUE(ws->AddDevice(cam1));
  ASSERT_TRUE(ws->AddDevice(MakeDevice(hub)));
  ASSERT_TRUE(ws->AddDevice(MakeDevice(cam2_shape)));

  const auto by_id = ById(BuildDeviceTree(ws.get()));
  const std::wstring video0 = DeviceInstanceIdOf(*cam, 0);
  const auto chain = Ancestry(by_id, video0);
  ASSERT_EQ(chain.size(), 6u);  // function, composite device, generic hub, root hub, controller, tree root
  EXPECT_TRUE(chain[1].starts_with(L"USB\\VID_FC01&PID_") && chain[1].ends_with(L"&0&4")) << chain[1];
  EXPECT_TRUE(chain[2].starts_with(L"USB\\VID_F0E1&PID_0001\\5&")) << chain[2];
  EXPECT_TRUE(chain[3].starts_with(L"USB\\ROOT_HUB30\\4&")) << chain[3];
  EXPECT_TRUE(chain[4].starts_with(L"PCI\\VEN_")) << chain[4];
  EXPECT_EQ(chain[5], L"HTREE\\ROOT\\0");

  const DeviceNode& function = by_id.at(video0);
  EXPECT_EQ(function.class_name, L"Image");
  EXPECT_EQ(function.class_guid, setup_class::kImage);
  EXPECT_TRUE(function.friendly_name.has_value());
  EXPECT_EQ(function.location_paths, std::vector<std::wstring>{L"PCIROOT(0)#PCI(1401)#USBROOT(0)#USB(2)#USB(4)#USBMI(0)"});
  EXPECT_EQ(by_id.at(chain[1]).class_name, L"USB");
  // The chip's DFU function is a function of its own, served by the user-mode driver.
  EXPECT_EQ(by_id.at(DeviceInstanceIdOf(*cam, 2)).class_name, L"USBDevice");

  // Scenario facts: class, no friendly name, problem; the DFU function without a driver.
  const DeviceNode& other = by_id.at(DeviceInstanceIdOf(*cam1, 0));
  EXPECT_EQ(other.class_guid, setup_class::kCamera);
  EXPECT_FALSE(other.friendly_name.has_value());
  EXPECT_EQ(other.problem, 10u);
  EXPECT_TRUE(Ancestry(by_id, other.instance_id)[2].starts_with(L"USB\\ROOT_HUB20\\"));
  const DeviceNode& dfu = by_id.at(DeviceInstanceIdOf(*cam1, 2));
  EXPECT_TRUE(dfu.class_name.empty());
  EXPECT_EQ(dfu.problem, kProblemFailedInstall);

  // Scenario texts are UTF-8: a class of its own, and the product string as the friendly name.
  const DeviceNode& named = by_id.at(DeviceInstanceIdOf(*ws->Find("cam2"), 0));
  EXPECT_EQ(named.class_name, L"Kamera 日本");
  EXPECT_EQ(named.friendly_name, L"Größe 😀");

  // A workstation hub stands where it is plugged in, with the workstation's IDs.
  const auto hub_chain = Ancestry(by_id, DeviceInstanceIdOf(*ws->Find("cam2"), 0));
  EXPECT_TRUE(hub_chain[2].starts_with(L"USB\\VID_F0E1&PID_0E01\\5&")) << hub_chain[2];
  EXPECT_EQ(hub_chain[3], chain[3]);  // the same root hub as cam0's

  // A device unplugged is gone from the tree.
  ws->SetConnected("cam0", false);
  EXPECT_FALSE(ById(BuildDeviceTree(ws.get())).contains(video0));
}

TEST(DeviceTreeView, PortServesSetsPropertiesStatusAndInterfaceFiles) {
  auto ws = std::make_shared<Workstation>();
  auto cam = MakeChipCamera("cam0", {1, 3});
  ASSERT_TRUE(ws->AddDevice(cam));
  DeviceTreeView view(ws);
  const std::wstring function_id = DeviceInstanceIdOf(*cam, 0);
  const os::DevInst node = view.DevInstOf(function_id);
  ASSERT_NE(node, 0u);
  EXPECT_EQ(view.DevInstOf(function_id), node);  // stable

  constexpr text::Guid kImage = setup_class::kImage;
  const os::DeviceInfoSet set = view.GetClassDevs(&kImage, L"USB", os::kDigcfPresent);
  ASSERT_NE(set, os::kInvalidDeviceInfoSet);
  os::DeviceInfoData info;
  ASSERT_TRUE(view.EnumDeviceInfo(set, 0, &info));
  EXPECT_EQ(info.dev_inst, node);
  EXPECT_FALSE(view.EnumDeviceInfo(set, 1, &info));
  EXPECT_EQ(view.LastError(), os::kErrorNoMoreItems);

  std::array<uint8_t, 8> small{};
  DWORD required = 0;
  EXPECT_FALSE(view.GetDeviceRegistryProperty(set, {kImage, node, 0}, os::kSpdrpClass, nullptr, small.data(), 8, &required));
  EXPECT_EQ(view.LastError(), os::kErrorInsufficientBuffer);
  EXPECT_EQ(required, 12u);  // "Image" and its NUL
  std::array<uint8_t, 12> exact{};
  EXPECT_TRUE(view.GetDeviceRegistryProperty(set, {kImage, node, 0}, os::kSpdrpClass, nullptr, exact.data(), 12, nullptr));
  DWORD status = 0, problem = 0;
  EXPECT_EQ(view.GetDevNodeStatus(&status, &problem, node, 0), os::kCrSuccess);
  EXPECT_EQ(status & os::kDnHasProblem, 0u);
  wchar_t id[8];
  EXPECT_EQ(view.GetDeviceId(node, id, 8, 0), os::kCrBufferSmall);  // cut, terminated
  EXPECT_EQ(std::wstring(id), function_id.substr(0, 7));
  EXPECT_TRUE(view.DestroyDeviceInfoList(set));

  // An interface file: exclusive, closed again; gone with its device.
  const os::DeviceInfoSet one = view.GetClassDevs(nullptr, function_id.c_str(),
                                                  os::kDigcfPresent | os::kDigcfAllClasses | os::kDigcfDeviceInterface);
  ASSERT_TRUE(view.EnumDeviceInfo(one, 0, &info));
  os::DeviceInterfaceData data;
  ASSERT_TRUE(view.EnumDeviceInterfaces(one, &info, interface_class::kKsVideo, 0, &data));
  DWORD chars = 0;
  EXPECT_FALSE(view.GetDeviceInterfacePath(one, data, nullptr, 0, &chars));
  std::vector<wchar_t> path(chars);
  ASSERT_TRUE(view.GetDeviceInterfacePath(one, data, path.data(), chars, nullptr));
  EXPECT_TRUE(std::wstring(path.data()).ends_with(L"#{6994ad05-93ef-11d0-a3cc-00a0c9223196}\\global"));
  const os::InterfaceHandle file = view.CreateInterfaceFile(path.data(), 0, 0, os::kOpenExisting, 0);
  ASSERT_NE(file, os::kInvalidInterfaceHandle);
  EXPECT_EQ(view.CreateInterfaceFile(path.data(), 0, 0, os::kOpenExisting, 0), os::kInvalidInterfaceHandle);
  EXPECT_EQ(view.LastError(), 32u);  // ERROR_SHARING_VIOLATION
  EXPECT_TRUE(view.CloseInterfaceFile(file));
  EXPECT_EQ(view.OpenInterfaceFiles(), 0u);
  EXPECT_TRUE(view.DestroyDeviceInfoList(one));
  EXPECT_EQ(view.OpenSets(), 0u);
  ws->SetConnected("cam0", false);
  EXPECT_EQ(view.CreateInterfaceFile(path.data(), 0, 0, os::kOpenExisting, 0), os::kInvalidInterfaceHandle);
  EXPECT_EQ(view.GetDevNodeStatus(&status, &problem, node, 0), os::kCrNoSuchDevnode);
}

}  // namespace
}  // namespace fcp::sim::windows
