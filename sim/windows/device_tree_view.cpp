#include "sim/windows/device_tree_view.h"

#include <algorithm>
#include <cwchar>

#include "sim/devices.h"
#include "sim/windows/windows_views.h"
#include "text/ascii_case.h"
#include "text/registry_text.h"
#include "text/usb_device_names.h"
#include "text/widening.h"

// Nodes are written as designated initializers naming only the facts a node has; the rest keep
// their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace fcp::sim::windows {
namespace {

constexpr BOOL kTrue = 1, kFalse = 0;

constexpr wchar_t kTreeRoot[] = L"HTREE\\ROOT\\0";
constexpr uint16_t kGenericHubProduct = 0x0001;
constexpr DWORD kRegSz = 1, kRegMultiSz = 7, kRegDword = 4;
constexpr DWORD kErrorFileNotFound = 2, kErrorInvalidHandle = 6, kErrorSharingViolation = 32;
constexpr DWORD kErrorNoSuchDevinst = 0xE000020B;
constexpr DWORD kDnDriverLoaded = 0x02, kDnStarted = 0x08;

thread_local DWORD t_last_error = 0;

using text::UpperAscii;

uint32_t Hash(const std::wstring& text) {
  uint32_t hash = 2166136261u;
  for (wchar_t c : text) hash = (hash ^ static_cast<uint32_t>(c)) * 16777619u;
  return hash;
}

std::wstring Format(const wchar_t* format, auto... args) {
  wchar_t text[160];
  std::swprintf(text, std::size(text), format, args...);
  return text;
}

std::string Key(uint8_t bus, const std::vector<uint8_t>& ports) {
  std::string key = std::to_string(bus) + ":";
  for (uint8_t port : ports) key += std::to_string(port) + ".";
  return key;
}

// The port path of the hub a device at `ports` is plugged into.
std::vector<uint8_t> ParentPorts(const std::vector<uint8_t>& ports) {
  if (ports.size() <= 1) return {};
  return std::vector<uint8_t>(ports.begin(), ports.begin() + static_cast<long>(ports.size() - 1));
}

struct ClassFacts {
  std::wstring name;
  text::Guid guid;
  std::vector<text::Guid> interfaces;
};

ClassFacts CameraClass(const std::wstring& name) {
  using namespace interface_class;
  if (name == L"Image") return {name, setup_class::kImage, {kCameraSensor, kKsCapture, kKsVideo}};
  if (name == L"Camera") return {name, setup_class::kCamera, {kKsCapture, kKsVideo}};
  if (name == L"Media") return {name, setup_class::kMedia, {kKsAudio, kKsCapture}};
  if (name == L"USB") return {name, setup_class::kUsb, {kUsbDevice}};
  // Any other class: a GUID of its own, derived from the name.
  text::Guid guid{Hash(name), 0x5EC1, 0xA55, {0x80, 0, 0, 0, 0, 0, 0, 1}};
  return {name, guid, {kKsVideo}};
}

const nlohmann::json* DeviceTreeSettings(const UsbDevice& device) {
  if (!device.shape) return nullptr;
  const auto it = device.shape->views.find("device_tree");
  return it != device.shape->views.end() && it->is_object() ? &*it : nullptr;
}

class TreeBuilder {
 public:
  std::vector<DeviceNode> nodes;

  void Build(const Workstation& workstation) {
    nodes.push_back(DeviceNode{.instance_id = kTreeRoot, .class_name = L"", .device_desc = L"Root"});
    const auto devices = workstation.ConnectedDevices();
    for (const auto& device : devices) {
      if (device->Place().ports.empty()) continue;
      const std::wstring hub = HubAbove(*device, devices);
      if (device->Kind() == DeviceKind::kHub) {
        AddHub(*device, device, hub);
      } else {
        AddDevice(device, hub);
      }
    }
  }

 private:
  struct Placed {
    std::wstring instance_id;
    std::wstring location_path;
  };
  std::map<std::string, Placed> hubs_;  // "bus:port.port..." -> hub node

  const Placed& RootHub(uint8_t bus) {
    const std::string key = Key(bus, {});
    if (const auto it = hubs_.find(key); it != hubs_.end()) return it->second;
    const bool usb3 = bus % 2 == 1;
    const std::wstring controller =
        Format(L"PCI\\VEN_8086&DEV_A36D&SUBSYS_00000000&REV_10\\3&11583659&0&%02X", 0xA0u + bus);
    nodes.push_back(DeviceNode{.instance_id = controller,
                               .parent_id = kTreeRoot,
                               .class_name = L"USB",
                               .class_guid = setup_class::kUsb,
                               .device_desc = L"USB eXtensible Host Controller",
                               .location_paths = {Format(L"PCIROOT(0)#PCI(14%02X)", 0u + bus)}});
    const std::wstring root = Format(usb3 ? L"USB\\ROOT_HUB30\\4&%08X&0&0" : L"USB\\ROOT_HUB20\\4&%08X&0&0",
                                     Hash(controller));
    const std::wstring root_path = Format(L"PCIROOT(0)#PCI(14%02X)#USBROOT(0)", 0u + bus);
    nodes.push_back(DeviceNode{.instance_id = root,
                               .parent_id = controller,
                               .class_name = L"USB",
                               .class_guid = setup_class::kUsb,
                               .device_desc = usb3 ? L"USB Root Hub (USB 3.0)" : L"USB Root Hub",
                               .location_paths = {root_path},
                               .interfaces = {interface_class::kUsbHub}});
    return hubs_[key] = Placed{root, root_path};
  }

  // The hub node a device is plugged into, adding generic hubs where the workstation has none.
  std::wstring HubAbove(const UsbDevice& device, const std::vector<std::shared_ptr<UsbDevice>>& devices) {
    const UsbPlace& place = device.Place();
    std::wstring parent = RootHub(place.bus).instance_id;
    for (size_t depth = 1; depth < place.ports.size(); ++depth) {
      const std::vector<uint8_t> prefix(place.ports.begin(), place.ports.begin() + static_cast<long>(depth));
      const std::string key = Key(place.bus, prefix);
      if (const auto it = hubs_.find(key); it != hubs_.end()) {
        parent = it->second.instance_id;
        continue;
      }
      std::shared_ptr<UsbDevice> workstation_hub;
      for (const auto& other : devices) {
        if (other->Kind() == DeviceKind::kHub && other->Place().bus == place.bus && other->Place().ports == prefix) {
          workstation_hub = other;
        }
      }
      UsbPlace hub_place{place.bus, prefix, 0};
      parent = AddHubAt(hub_place, workstation_hub, parent);
    }
    return parent;
  }

  void AddHub(const UsbDevice& device, const std::shared_ptr<UsbDevice>& shared, const std::wstring& parent) {
    if (hubs_.contains(Key(device.Place().bus, device.Place().ports))) return;
    AddHubAt(device.Place(), shared, parent);
  }

  std::wstring AddHubAt(const UsbPlace& place, const std::shared_ptr<UsbDevice>& device, const std::wstring& parent) {
    const uint16_t vid = device ? device->VendorId() : kHubVendorId;
    const uint16_t pid = device ? device->ProductId() : kGenericHubProduct;
    const std::wstring id =
        text::UsbDeviceInstanceId(vid, pid, Format(L"5&%08X&0&%u", Hash(parent), 0u + place.ports.back()));
    const std::wstring path = hubs_[Key(place.bus, ParentPorts(place.ports))]
                                  .location_path + Format(L"#USB(%u)", 0u + place.ports.back());
    nodes.push_back(DeviceNode{.instance_id = id,
                               .parent_id = parent,
                               .class_name = L"USB",
                               .class_guid = setup_class::kUsb,
                               .friendly_name = std::nullopt,
                               .device_desc = device ? ProductStringOf(*device, L"Generic USB Hub") : L"Generic USB Hub",
                               .address = place.ports.back(),
                               .location_paths = {path},
                               .interfaces = {interface_class::kUsbHub},
                               .device = device});
    hubs_[Key(place.bus, place.ports)] = Placed{id, path};
    return id;
  }

  void AddDevice(const std::shared_ptr<UsbDevice>& device, const std::wstring& hub) {
    const UsbPlace& place = device->Place();
    const uint8_t port = place.ports.back();
    const std::wstring id =
        text::UsbDeviceInstanceId(device->VendorId(), device->ProductId(), Format(L"5&%08X&0&%u", Hash(hub), 0u + port));
    const std::wstring hub_path = hubs_[Key(place.bus, ParentPorts(place.ports))]
                                     .location_path;
    const std::wstring path = hub_path + Format(L"#USB(%u)", 0u + port);
    const bool composite = device->video.has_value();
    DeviceNode whole{.instance_id = id,
                     .parent_id = hub,
                     .class_name = L"USB",
                     .class_guid = setup_class::kUsb,
                     .device_desc = composite ? L"USB Composite Device" : ProductStringOf(*device, L"USB Device"),
                     .address = port,
                     .location_paths = {path},
                     .interfaces = {interface_class::kUsbDevice},
                     .device = device};
    if (!composite) {  // a device of its own function: served by a user-mode driver, or by none
      if (!device->libusb_visible) {
        whole.class_name.clear();
        whole.class_guid = {};
        whole.problem = kProblemFailedInstall;
        whole.interfaces.clear();
      } else {
        whole.class_name = L"USBDevice";
        whole.class_guid = setup_class::kUsbDevice;
      }
      nodes.push_back(std::move(whole));
      return;
    }
    nodes.push_back(std::move(whole));

    // The video function.
    const uint8_t vc = device->video->control_interface;
    std::wstring class_name = L"Image";
    std::optional<std::wstring> friendly_name = ProductStringOf(*device, L"USB Video Device");
    uint32_t problem = 0;
    if (const auto* settings = DeviceTreeSettings(*device)) {
      if (const auto it = settings->find("setup_class"); it != settings->end() && it->is_string()) {
        class_name = text::WidenUtf8(it->get<std::string>());
      }
      if (const auto it = settings->find("friendly_name"); it != settings->end()) {
        if (it->is_null()) friendly_name.reset();
        if (it->is_string()) friendly_name = text::WidenUtf8(it->get<std::string>());
      }
      if (const auto it = settings->find("problem"); it != settings->end() && it->is_number_integer() && it->get<int64_t>() >= 0) {
        problem = static_cast<uint32_t>(it->get<int64_t>());
      }
    }
    const ClassFacts facts = CameraClass(class_name);
    nodes.push_back(DeviceNode{.instance_id = DeviceInstanceIdOf(*device, vc),
                               .parent_id = id,
                               .class_name = facts.name,
                               .class_guid = facts.guid,
                               .friendly_name = friendly_name,
                               .device_desc = L"USB Video Device",
                               .address = port,
                               .location_paths = {path + Format(L"#USBMI(%u)", 0u + vc)},
                               .problem = problem,
                               .interfaces = facts.interfaces,
                               .device = device,
                               .function = vc});

    // The DFU function: the user-mode driver libusb reaches it through, or no driver at all.
    if (device->dfu && !device->dfu->dfu_mode) {
      const uint8_t dfu = device->dfu->interface;
      DeviceNode function{.instance_id = DeviceInstanceIdOf(*device, dfu),
                          .parent_id = id,
                          .class_name = L"USBDevice",
                          .class_guid = setup_class::kUsbDevice,
                          .device_desc = L"DFU",
                          .address = port,
                          .location_paths = {path + Format(L"#USBMI(%u)", 0u + dfu)},
                          .interfaces = {interface_class::kUsbDevice},
                          .device = device,
                          .function = dfu};
      if (!device->libusb_visible) {
        function.class_name.clear();
        function.class_guid = {};
        function.problem = kProblemFailedInstall;
        function.interfaces.clear();
      }
      nodes.push_back(std::move(function));
    }
  }
};

bool IsKsCategory(const text::Guid& g) {
  return g == interface_class::kKsCapture || g == interface_class::kKsVideo || g == interface_class::kKsAudio ||
         g == interface_class::kCameraSensor;
}

}  // namespace

std::vector<DeviceNode> BuildDeviceTree(const Workstation* workstation) {
  TreeBuilder builder;
  if (workstation != nullptr) {
    builder.Build(*workstation);
  } else {
    builder.nodes.push_back(DeviceNode{.instance_id = kTreeRoot, .device_desc = L"Root"});
  }
  return std::move(builder.nodes);
}

std::wstring InterfacePathOf(const DeviceNode& node, const text::Guid& interface_class) {
  return text::DeviceInterfacePath(node.instance_id, interface_class, IsKsCategory(interface_class));
}

DeviceTreeView::DeviceTreeView(std::shared_ptr<Workstation> workstation) : fixed_(std::move(workstation)) {}

void DeviceTreeView::SetInterfaceFiles(InterfaceOpener open, InterfaceCloser close) {
  std::lock_guard lock(mutex_);
  open_ = std::move(open);
  close_ = std::move(close);
}

std::shared_ptr<Workstation> DeviceTreeView::Current() const { return fixed_ ? fixed_ : CurrentWorkstation(); }

std::vector<DeviceNode> DeviceTreeView::Tree() {
  const auto workstation = Current();
  std::vector<DeviceNode> nodes = BuildDeviceTree(workstation.get());
  for (const auto& node : nodes) Assign(node.instance_id);
  return nodes;
}

os::DevInst DeviceTreeView::Assign(const std::wstring& instance_id) {
  const std::wstring key = UpperAscii(instance_id);
  if (const auto it = dev_insts_.find(key); it != dev_insts_.end()) return it->second;
  const os::DevInst handle = static_cast<os::DevInst>(dev_insts_.size() + 1);
  dev_insts_[key] = handle;
  instance_ids_[handle] = key;
  return handle;
}

std::optional<DeviceNode> DeviceTreeView::NodeOf(os::DevInst node) {
  const auto id = instance_ids_.find(node);
  if (id == instance_ids_.end()) return std::nullopt;
  for (auto& candidate : Tree()) {
    if (UpperAscii(candidate.instance_id) == id->second) return candidate;
  }
  return std::nullopt;
}

os::DevInst DeviceTreeView::DevInstOf(const std::wstring& instance_id) {
  std::lock_guard lock(mutex_);
  for (const auto& node : Tree()) {
    if (UpperAscii(node.instance_id) == UpperAscii(instance_id)) return Assign(node.instance_id);
  }
  return 0;
}

std::vector<DeviceNode> DeviceTreeView::Nodes() const { return BuildDeviceTree(Current().get()); }

size_t DeviceTreeView::OpenSets() const {
  std::lock_guard lock(mutex_);
  return sets_.size();
}

size_t DeviceTreeView::OpenInterfaceFiles() const {
  std::lock_guard lock(mutex_);
  return files_.size();
}

uint32_t DeviceTreeView::Injected(std::string_view call, const std::wstring& subject) {
  return fault_ ? fault_(call, subject) : 0;
}

BOOL DeviceTreeView::Fail(DWORD error) {
  t_last_error = error;
  return kFalse;
}

os::DeviceInfoSet DeviceTreeView::GetClassDevs(const text::Guid* class_guid, const wchar_t* enumerator, DWORD flags) {
  const std::wstring wanted = enumerator != nullptr ? UpperAscii(enumerator) : L"";
  if (const uint32_t error = Injected("GetClassDevs", wanted)) {
    t_last_error = error;
    return os::kInvalidDeviceInfoSet;
  }
  std::lock_guard lock(mutex_);
  const bool all_classes = (flags & os::kDigcfAllClasses) != 0;
  if (class_guid == nullptr && !all_classes) {
    t_last_error = 87;  // ERROR_INVALID_PARAMETER
    return os::kInvalidDeviceInfoSet;
  }
  Set set;
  for (const auto& node : Tree()) {
    if (!all_classes && !(node.class_guid == *class_guid)) continue;
    if ((flags & os::kDigcfPresent) != 0 && node.instance_id == kTreeRoot) continue;
    if (!wanted.empty()) {
      const std::wstring id = UpperAscii(node.instance_id);
      // With DIGCF_DEVICEINTERFACE the enumerator may name one device instance.
      const bool is_instance = (flags & os::kDigcfDeviceInterface) != 0 && id == wanted;
      const bool is_enumerator = id.starts_with(wanted + L"\\");
      if (!is_instance && !is_enumerator) continue;
    }
    set.members.push_back(node.instance_id);
  }
  const os::DeviceInfoSet handle = next_set_++;
  sets_[handle] = std::move(set);
  t_last_error = class_devs_error_;
  return handle;
}

BOOL DeviceTreeView::EnumDeviceInfo(os::DeviceInfoSet set, DWORD index, os::DeviceInfoData* data) {
  std::wstring member;
  {
    std::lock_guard lock(mutex_);
    const auto it = sets_.find(set);
    if (it == sets_.end() || data == nullptr) return Fail(kErrorInvalidHandle);
    if (index >= it->second.members.size()) return Fail(os::kErrorNoMoreItems);
    member = it->second.members[index];
  }
  if (const uint32_t error = Injected("EnumDeviceInfo", member)) return Fail(error);
  std::lock_guard lock(mutex_);
  text::Guid class_guid;
  for (const auto& node : BuildDeviceTree(Current().get())) {
    if (UpperAscii(node.instance_id) == UpperAscii(member)) class_guid = node.class_guid;
  }
  *data = os::DeviceInfoData{class_guid, Assign(member), index};
  t_last_error = 0;
  return kTrue;
}

BOOL DeviceTreeView::GetDeviceRegistryProperty(os::DeviceInfoSet set, const os::DeviceInfoData& device, DWORD property,
                                               DWORD* type, uint8_t* buffer, DWORD size, DWORD* required) {
  std::wstring member;
  {
    std::lock_guard lock(mutex_);
    if (!sets_.contains(set)) return Fail(kErrorInvalidHandle);
    const auto id = instance_ids_.find(device.dev_inst);
    if (id == instance_ids_.end()) return Fail(kErrorNoSuchDevinst);
    member = id->second;
  }
  if (const uint32_t error = Injected("GetDeviceRegistryProperty", member)) return Fail(error);
  std::lock_guard lock(mutex_);
  const auto node = NodeOf(device.dev_inst);
  if (!node) return Fail(kErrorNoSuchDevinst);
  DWORD value_type = kRegSz;
  std::vector<uint8_t> value;
  switch (property) {
    case os::kSpdrpDeviceDesc:
      value = text::RegistryStringBytes(node->device_desc);
      break;
    case os::kSpdrpClass:
      if (node->class_name.empty()) return Fail(os::kErrorInvalidData);
      value = text::RegistryStringBytes(node->class_name);
      break;
    case os::kSpdrpFriendlyName:
      if (!node->friendly_name) return Fail(os::kErrorInvalidData);
      value = text::RegistryStringBytes(*node->friendly_name);
      break;
    case os::kSpdrpAddress:
      value_type = kRegDword;
      value = {static_cast<uint8_t>(node->address), static_cast<uint8_t>(node->address >> 8),
               static_cast<uint8_t>(node->address >> 16), static_cast<uint8_t>(node->address >> 24)};
      break;
    case os::kSpdrpLocationPaths:
      if (node->location_paths.empty()) return Fail(os::kErrorInvalidData);
      value_type = kRegMultiSz;
      value = text::RegistryMultiStringBytes(node->location_paths);
      break;
    default:
      return Fail(os::kErrorInvalidData);
  }
  if (type != nullptr) *type = value_type;
  if (required != nullptr) *required = static_cast<DWORD>(value.size());
  if (buffer == nullptr || size < value.size()) return Fail(os::kErrorInsufficientBuffer);
  std::copy(value.begin(), value.end(), buffer);
  t_last_error = 0;
  return kTrue;
}

BOOL DeviceTreeView::EnumDeviceInterfaces(os::DeviceInfoSet set, const os::DeviceInfoData* device,
                                          const text::Guid& interface_class, DWORD index, os::DeviceInterfaceData* data) {
  std::vector<std::wstring> members;
  {
    std::lock_guard lock(mutex_);
    const auto it = sets_.find(set);
    if (it == sets_.end() || data == nullptr) return Fail(kErrorInvalidHandle);
    if (device != nullptr) {
      const auto id = instance_ids_.find(device->dev_inst);
      if (id == instance_ids_.end()) return Fail(kErrorNoSuchDevinst);
      members.push_back(id->second);
    } else {
      members = it->second.members;
    }
  }
  if (const uint32_t error = Injected("EnumDeviceInterfaces", members.empty() ? L"" : members.front())) {
    return Fail(error);
  }
  std::lock_guard lock(mutex_);
  DWORD seen = 0;
  for (const auto& node : Tree()) {
    if (std::find(members.begin(), members.end(), UpperAscii(node.instance_id)) == members.end() &&
        std::find(members.begin(), members.end(), node.instance_id) == members.end()) {
      continue;
    }
    for (const auto& offered : node.interfaces) {
      if (!(offered == interface_class)) continue;
      if (seen++ != index) continue;
      auto& handed = sets_[set].interfaces;
      handed.emplace_back(node.instance_id, interface_class);
      *data = os::DeviceInterfaceData{interface_class, 0x1 /* SPINT_ACTIVE */, handed.size()};
      t_last_error = 0;
      return kTrue;
    }
  }
  return Fail(os::kErrorNoMoreItems);
}

BOOL DeviceTreeView::GetDeviceInterfacePath(os::DeviceInfoSet set, const os::DeviceInterfaceData& data, wchar_t* path,
                                            DWORD path_chars, DWORD* required_chars) {
  std::pair<std::wstring, text::Guid> handed;
  {
    std::lock_guard lock(mutex_);
    const auto it = sets_.find(set);
    if (it == sets_.end() || data.reserved == 0 || data.reserved > it->second.interfaces.size()) {
      return Fail(kErrorInvalidHandle);
    }
    handed = it->second.interfaces[data.reserved - 1];
  }
  if (const uint32_t error = Injected("GetDeviceInterfacePath", handed.first)) return Fail(error);
  const std::wstring text = InterfacePathOf(DeviceNode{.instance_id = handed.first}, handed.second);
  const DWORD needed = static_cast<DWORD>(text.size() + 1);
  if (required_chars != nullptr) *required_chars = needed;
  if (path == nullptr || path_chars < needed) return Fail(os::kErrorInsufficientBuffer);
  std::copy(text.begin(), text.end(), path);
  path[text.size()] = L'\0';
  t_last_error = 0;
  return kTrue;
}

BOOL DeviceTreeView::DeleteDeviceInterfaceData(os::DeviceInfoSet set, os::DeviceInterfaceData* data) {
  std::lock_guard lock(mutex_);
  if (!sets_.contains(set) || data == nullptr) return Fail(kErrorInvalidHandle);
  t_last_error = 0;
  return kTrue;
}

BOOL DeviceTreeView::DestroyDeviceInfoList(os::DeviceInfoSet set) {
  std::lock_guard lock(mutex_);
  if (sets_.erase(set) == 0) return Fail(kErrorInvalidHandle);
  t_last_error = 0;
  return kTrue;
}

os::ConfigRet DeviceTreeView::GetDeviceId(os::DevInst node, wchar_t* buffer, DWORD chars, DWORD /*flags*/) {
  std::optional<DeviceNode> found;
  {
    std::lock_guard lock(mutex_);
    found = NodeOf(node);
  }
  if (!found) return os::kCrNoSuchDevnode;
  if (const uint32_t error = Injected("GetDeviceId", found->instance_id)) return error;
  if (buffer == nullptr || chars == 0) return os::kCrBufferSmall;
  const std::wstring& id = found->instance_id;
  const size_t copied = std::min<size_t>(id.size(), chars - 1);
  std::copy_n(id.begin(), copied, buffer);
  buffer[copied] = L'\0';
  return copied < id.size() ? os::kCrBufferSmall : os::kCrSuccess;
}

os::ConfigRet DeviceTreeView::GetParent(os::DevInst* parent, os::DevInst node, DWORD /*flags*/) {
  std::optional<DeviceNode> found;
  {
    std::lock_guard lock(mutex_);
    found = NodeOf(node);
  }
  if (!found || found->parent_id.empty()) return os::kCrNoSuchDevnode;
  if (const uint32_t error = Injected("GetParent", found->instance_id)) return error;
  std::lock_guard lock(mutex_);
  *parent = Assign(found->parent_id);
  return os::kCrSuccess;
}

os::ConfigRet DeviceTreeView::GetDevNodeStatus(DWORD* status, DWORD* problem, os::DevInst node, DWORD /*flags*/) {
  std::optional<DeviceNode> found;
  {
    std::lock_guard lock(mutex_);
    found = NodeOf(node);
  }
  if (!found) return os::kCrNoSuchDevnode;
  if (const uint32_t error = Injected("GetDevNodeStatus", found->instance_id)) return error;
  *status = found->problem != 0 ? os::kDnHasProblem : (kDnDriverLoaded | kDnStarted);
  *problem = found->problem;
  return os::kCrSuccess;
}

os::InterfaceHandle DeviceTreeView::CreateInterfaceFile(const wchar_t* path, DWORD /*access*/, DWORD /*share*/,
                                                        DWORD disposition, DWORD /*attributes*/) {
  const std::wstring wanted = path != nullptr ? UpperAscii(path) : L"";
  std::optional<DeviceNode> target;
  {
    std::lock_guard lock(mutex_);
    for (const auto& node : Tree()) {
      for (const auto& offered : node.interfaces) {
        if (UpperAscii(InterfacePathOf(node, offered)) == wanted) target = node;
      }
    }
  }
  if (!target || disposition != os::kOpenExisting) {
    t_last_error = kErrorFileNotFound;
    return os::kInvalidInterfaceHandle;
  }
  if (const uint32_t error = Injected("CreateInterfaceFile", target->instance_id)) {
    t_last_error = error;
    return os::kInvalidInterfaceHandle;
  }
  InterfaceOpener open;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [handle, openPath] : files_) {
      if (openPath == wanted) {  // opened before, and nobody shares an interface opened for exclusive use
        t_last_error = kErrorSharingViolation;
        return os::kInvalidInterfaceHandle;
      }
    }
    open = open_;
  }
  os::InterfaceHandle handle = 0;
  if (open) {
    DWORD error = 0;
    handle = open(*target, error);
    if (handle == 0) {
      t_last_error = error != 0 ? error : kErrorFileNotFound;
      return os::kInvalidInterfaceHandle;
    }
  }
  std::lock_guard lock(mutex_);
  if (handle == 0) handle = next_file_++;
  files_[handle] = wanted;
  t_last_error = 0;
  return handle;
}

BOOL DeviceTreeView::CloseInterfaceFile(os::InterfaceHandle handle) {
  InterfaceCloser close;
  {
    std::lock_guard lock(mutex_);
    if (files_.erase(handle) == 0) return Fail(kErrorInvalidHandle);
    close = close_;
  }
  if (close) close(handle);
  t_last_error = 0;
  return kTrue;
}

DWORD DeviceTreeView::LastError() { return t_last_error; }

void DeviceTreeView::SetLastErrorCode(DWORD error) { t_last_error = error; }

}  // namespace fcp::sim::windows
