// The virtual workstation as the platform's device tree: device nodes with instance IDs, setup classes,
// properties, status and device interfaces, served through the device-setup port (SetupDi* / CM_*).
//
// The tree, derived from the workstation's connected devices at every call:
//   HTREE\ROOT\0
//   └ a host controller per bus (PCI\VEN_...), its root hub (USB\ROOT_HUB30\4&...; USB\ROOT_HUB20 on
//     even bus numbers)
//     └ hubs along each port path: a workstation device of kind hub where there is one, otherwise a
//       generic hub (USB\VID_F0E1&PID_0001\5&...&0&<port>)
//       └ a device (USB\VID_v&PID_p\5&<hash>&0&<port>); a camera is a composite device whose video
//         function is USB\VID_v&PID_p&MI_<vc>\6&... (the same ID as the registry and video-input views)
//         and whose DFU function is ...&MI_<dfu>\6&...
// A camera's video function is of setup class Image with a friendly name from the product string;
// a scenario changes that per device with
//   "views": {"device_tree": {"setup_class": "Image" | "Camera" | "Media" | "USB" | <other text>,
//                             "friendly_name": "<text>" | null (none), "problem": <code, 0 none>}}
// A DFU function that libusb does not see (device key "libusb_visible": false) has no driver: no setup
// class, problem 28.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/device_setup.h"
#include "sim/workstation.h"
#include "text/device_classes.h"
#include "text/usb_device_names.h"

namespace fcp::sim::windows {

// Setup classes and device interface classes the tree uses: the platform's, as the camera layer names them.
namespace setup_class = text::setup_class;
namespace interface_class = text::interface_class;

inline constexpr uint32_t kProblemFailedInstall = 28;  // no driver for the device

struct DeviceNode {
  std::wstring instance_id;
  std::wstring parent_id;                 // empty for the tree's root
  std::wstring class_name;                // SPDRP_CLASS; empty: the property is missing
  text::Guid class_guid;
  std::optional<std::wstring> friendly_name;
  std::wstring device_desc;
  uint32_t address = 0;                  // SPDRP_ADDRESS: the port on the parent hub
  std::vector<std::wstring> location_paths;
  uint32_t problem = 0;                  // 0: none
  std::vector<text::Guid> interfaces;    // device interface classes the node exposes
  std::shared_ptr<UsbDevice> device;     // the workstation device (null for host controllers, root hubs, generic hubs)
  std::optional<uint8_t> function;       // interface number of a composite device's function
};

// The tree of a workstation's connected devices, parents before children.
std::vector<DeviceNode> BuildDeviceTree(const Workstation* workstation);

// The device interface path of a node's interface: \\?\<instance ID, '\' as '#', lower case>#{class}.
std::wstring InterfacePathOf(const DeviceNode& node, const text::Guid& interface_class);

class DeviceTreeView final : public os::DeviceSetup {
 public:
  // Opens the file of a device interface; returns the handle, or 0 with an error in `error`.
  using InterfaceOpener = std::function<os::InterfaceHandle(const DeviceNode& node, DWORD& error)>;
  using InterfaceCloser = std::function<void(os::InterfaceHandle)>;
  // Fault hook: called before each port call with its name ("GetClassDevs", "EnumDeviceInfo",
  // "GetDevNodeStatus", "GetDeviceId", "GetParent", "GetDeviceRegistryProperty", "EnumDeviceInterfaces",
  // "GetDeviceInterfacePath", "CreateInterfaceFile") and the instance ID it concerns (the enumerator
  // for GetClassDevs); a non-zero answer makes the call fail with that code (a CONFIGRET for the CM_
  // calls, else the last error). It may also change the workstation, as a device coming or going would.
  using Fault = std::function<uint32_t(std::string_view call, const std::wstring& subject)>;

  // The tree of `workstation`; null: of the current workstation at each call.
  explicit DeviceTreeView(std::shared_ptr<Workstation> workstation = nullptr);

  void SetInterfaceFiles(InterfaceOpener open, InterfaceCloser close);
  void SetFault(Fault fault) { fault_ = std::move(fault); }
  // The last error a successful SetupDiGetClassDevsW leaves behind (the platform may leave one).
  void SetErrorLeftByClassDevs(DWORD error) { class_devs_error_ = error; }

  // The node handle of an instance ID (0 when the node is not present now).
  os::DevInst DevInstOf(const std::wstring& instance_id);
  std::vector<DeviceNode> Nodes() const;
  // What is still open: device information sets and interface files.
  size_t OpenSets() const;
  size_t OpenInterfaceFiles() const;

  // --- os::DeviceSetup
  os::DeviceInfoSet GetClassDevs(const text::Guid* class_guid, const wchar_t* enumerator, DWORD flags) override;
  BOOL EnumDeviceInfo(os::DeviceInfoSet set, DWORD index, os::DeviceInfoData* data) override;
  BOOL GetDeviceRegistryProperty(os::DeviceInfoSet set, const os::DeviceInfoData& device, DWORD property, DWORD* type,
                                 uint8_t* buffer, DWORD size, DWORD* required) override;
  BOOL EnumDeviceInterfaces(os::DeviceInfoSet set, const os::DeviceInfoData* device, const text::Guid& interface_class,
                            DWORD index, os::DeviceInterfaceData* data) override;
  BOOL GetDeviceInterfacePath(os::DeviceInfoSet set, const os::DeviceInterfaceData& data, wchar_t* path,
                              DWORD path_chars, DWORD* required_chars) override;
  BOOL DeleteDeviceInterfaceData(os::DeviceInfoSet set, os::DeviceInterfaceData* data) override;
  BOOL DestroyDeviceInfoList(os::DeviceInfoSet set) override;
  os::ConfigRet GetDeviceId(os::DevInst node, wchar_t* buffer, DWORD chars, DWORD flags) override;
  os::ConfigRet GetParent(os::DevInst* parent, os::DevInst node, DWORD flags) override;
  os::ConfigRet GetDevNodeStatus(DWORD* status, DWORD* problem, os::DevInst node, DWORD flags) override;
  os::InterfaceHandle CreateInterfaceFile(const wchar_t* path, DWORD access, DWORD share, DWORD disposition,
                                          DWORD attributes) override;
  BOOL CloseInterfaceFile(os::InterfaceHandle handle) override;
  DWORD LastError() override;
  void SetLastErrorCode(DWORD error) override;

 private:
  struct Set {
    std::vector<std::wstring> members;  // instance IDs, a snapshot taken when the set was built
    std::vector<std::pair<std::wstring, text::Guid>> interfaces;  // handed out by EnumDeviceInterfaces
  };

  std::shared_ptr<Workstation> Current() const;
  std::vector<DeviceNode> Tree();                     // with mutex_ held
  os::DevInst Assign(const std::wstring& instance_id);  // with mutex_ held
  std::optional<DeviceNode> NodeOf(os::DevInst node);  // with mutex_ held
  uint32_t Injected(std::string_view call, const std::wstring& subject);  // without mutex_ held
  BOOL Fail(DWORD error);

  std::shared_ptr<Workstation> fixed_;
  mutable std::mutex mutex_;
  std::map<std::wstring, os::DevInst> dev_insts_;  // upper-case instance ID -> handle, stable for the view's life
  std::map<os::DevInst, std::wstring> instance_ids_;
  std::map<os::DeviceInfoSet, Set> sets_;
  os::DeviceInfoSet next_set_ = 0x5E70;
  std::map<os::InterfaceHandle, std::wstring> files_;  // open interface files -> upper-case path
  os::InterfaceHandle next_file_ = 0xF11E0;
  InterfaceOpener open_;
  InterfaceCloser close_;
  Fault fault_;
  DWORD class_devs_error_ = 0;
};

}  // namespace fcp::sim::windows
