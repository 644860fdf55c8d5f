// A camera connection through the pass-through driver: the camera's device interface opened and
// registered with the driver, its place in the USB tree, and the wait until it answers.
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "os/driver_host.h"
#include "os/port.h"
#include "passthrough/camera_text.h"
#include "passthrough/kvcam.h"
#include "passthrough/kvxupx.h"
#include "text/ascii_case.h"
#include "text/device_classes.h"
#include "text/registry_text.h"

using fcp::os::DeviceInfoData;
using fcp::os::DeviceInfoSet;
using fcp::os::DeviceSetup;
using fcp::os::DevInst;
using fcp::text::Guid;
using fcp::text::ContainsIgnoringCase;
using fcp::text::FindIgnoringCase;
namespace interface_class = fcp::text::interface_class;

namespace {

constexpr DWORD kErrorFileNotFound = 2;
constexpr DWORD kErrorNotSupported = 50;

// Transport kinds the driver's open-device control takes.
constexpr uint32_t kTransportCamera = 0;
constexpr uint32_t kTransportMediaOrUsb = 1;
constexpr uint32_t kTransportOther = 3;

// Hubs at which the walk to the root stops, and how each root hub is counted.
constexpr const wchar_t* kWalkStops[] = {L"ROOT_HUB", L"VMUSB\\HUB", L"TIUSBD_HUB", L"ASMEDIAUSBD_HUB", L"IWSEPAL\\VRHUB"};
constexpr const wchar_t* kUsb3RootHubs[] = {L"ROOT_HUB30", L"TIUSBD_HUB", L"ROOT_HUB_FL30", L"VIA_ROOT_HUB",
                                            L"ASMEDIAUSBD_HUB"};
constexpr const wchar_t* kUsb2RootHubs[] = {L"ROOT_HUB20", L"IWSEPAL\\VRHUB"};

template <size_t N>
bool ContainsAny(const wchar_t* text, const wchar_t* const (&parts)[N]) {
  for (const wchar_t* part : parts) {
    if (ContainsIgnoringCase(text, part)) return true;
  }
  return false;
}

int32_t RootHubKind(const wchar_t* id) {
  if (ContainsAny(id, kUsb3RootHubs)) return 3;
  if (ContainsAny(id, kUsb2RootHubs)) return 2;
  return 1;
}

// The two hexadecimal digits after "MI_" (0 when they are not there).
int32_t InterfaceNumber(std::wstring_view id, size_t at) {
  int32_t value = 0;
  for (size_t i = at + 3; i < at + 5 && i < id.size(); ++i) {
    const wchar_t c = id[i];
    const int digit = c >= L'0' && c <= L'9' ? c - L'0'
                      : c >= L'a' && c <= L'f' ? c - L'a' + 10
                      : c >= L'A' && c <= L'F' ? c - L'A' + 10
                                               : -1;
    if (digit < 0) break;
    value = value * 16 + digit;
  }
  return value;
}

bool StartsWith(const wchar_t* text, const wchar_t* prefix) { return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0; }

// The driver's side of the last error (the I/O controls leave it there).
DWORD DriverLastError() {
  auto* host = fcp::os::InstalledPort<fcp::os::DriverHost>();
  return host != nullptr ? host->LastError() : 0;
}

// Reads the location paths and copies their first string, when the size query asks for a buffer.
void ReadLocationPath(DeviceSetup& setup, DeviceInfoSet set, const DeviceInfoData& device, KvCamDevice& local) {
  DWORD required = 0;
  if (setup.GetDeviceRegistryProperty(set, device, fcp::os::kSpdrpLocationPaths, nullptr, nullptr, 0, &required) ||
      setup.LastError() != fcp::os::kErrorInsufficientBuffer || required == 0) {
    return;
  }
  std::vector<uint8_t> bytes(required);
  if (!setup.GetDeviceRegistryProperty(set, device, fcp::os::kSpdrpLocationPaths, nullptr, bytes.data(), required,
                                       nullptr)) {
    return;
  }
  fcp::passthrough::CopyText(fcp::text::TextFromRegistryBytes(bytes.data(), bytes.size()), local.location_path);
}

// Gives back what an open obtained before it failed: the interface handle and the registration.
void Release(DeviceSetup& setup, fcp::os::InterfaceHandle handle, uint32_t low, uint32_t high) {
  if (low != 0 || high != 0) KvxUpx_CloseDevice(low, high);
  if (handle != 0) setup.CloseInterfaceFile(handle);
}

}  // namespace

DWORD KvCam_OpenDevice(KvCamDevice* device, DevInst node) {
  if (device == nullptr) return ERROR_INVALID_PARAMETER;
  auto* setup = fcp::os::InstalledPort<DeviceSetup>();
  auto* host = fcp::os::InstalledPort<fcp::os::CameraLayerHost>();
  if (setup == nullptr || host == nullptr) return kErrorNotSupported;

  KvCamDevice local;
  std::memset(&local, 0, sizeof local);
  std::memcpy(local.transport_tag, "KVCD", 4);
  uint32_t transport = kTransportOther;

  wchar_t id[fcp::passthrough::kDeviceIdChars] = {};
  if (const fcp::os::ConfigRet read = fcp::passthrough::ReadDeviceId(*setup, node, id); read != fcp::os::kCrSuccess)
    return read;
  const DeviceInfoSet set = setup->GetClassDevs(
      nullptr, id, fcp::os::kDigcfPresent | fcp::os::kDigcfAllClasses | fcp::os::kDigcfDeviceInterface);
  {
    const DWORD error = setup->LastError();
    if (set == fcp::os::kInvalidDeviceInfoSet || (error != 0 && error != fcp::os::kErrorNotAllAssigned)) {
      if (set != fcp::os::kInvalidDeviceInfoSet) setup->DestroyDeviceInfoList(set);
      return error != 0 ? error : fcp::os::kErrorInvalidData;
    }
  }
  DeviceInfoData info;
  if (!setup->EnumDeviceInfo(set, 0, &info)) {
    const DWORD error = setup->LastError();
    setup->DestroyDeviceInfoList(set);
    return error;
  }

  // The setup class decides the class kind, the transport kind and the interface to open.
  wchar_t class_name[kKvCamTextChars] = {};
  if (fcp::passthrough::ReadTextProperty(*setup, set, info, fcp::os::kSpdrpClass, class_name)) {
    if (StartsWith(class_name, L"Image") || StartsWith(class_name, L"Camer")) {
      local.class_kind = 1;
      transport = kTransportCamera;
    } else if (StartsWith(class_name, L"Media")) {
      local.class_kind = 0;
      transport = kTransportMediaOrUsb;
    } else if (StartsWith(class_name, L"USB")) {
      local.class_kind = 2;
      transport = kTransportMediaOrUsb;
    }
  }
  if (!fcp::passthrough::ReadTextProperty(*setup, set, info, fcp::os::kSpdrpFriendlyName, local.display_name)) {
    local.display_name[0] = L'\0';
    if (setup->LastError() == fcp::os::kErrorInvalidData &&
        !fcp::passthrough::ReadTextProperty(*setup, set, info, fcp::os::kSpdrpDeviceDesc, local.display_name)) {
      local.display_name[0] = L'\0';
    }
  }
  if (KvCam_IsVistaOrLater()) {
    ReadLocationPath(*setup, set, info, local);
  } else {
    uint8_t address[4] = {};
    if (setup->GetDeviceRegistryProperty(set, info, fcp::os::kSpdrpAddress, nullptr, address, sizeof address, nullptr)) {
      local.ancestors[0] = static_cast<uint32_t>(address[0] | address[1] << 8 | address[2] << 16 | address[3] << 24);
    }
  }

  // A function of a composite device: the walk starts above the composite device.
  local.ancestor_count = 1;
  DevInst current = node;
  wchar_t current_id[fcp::passthrough::kDeviceIdChars] = {};
  if (const fcp::os::ConfigRet read = fcp::passthrough::ReadDeviceId(*setup, current, current_id);
      read != fcp::os::kCrSuccess) {
    setup->DestroyDeviceInfoList(set);
    return read;
  }
  if (const size_t mi = FindIgnoringCase(current_id, L"MI_"); mi != std::wstring_view::npos) {
    local.interface_number = InterfaceNumber(current_id, mi);
    DevInst parent = 0;
    if (const fcp::os::ConfigRet result = setup->GetParent(&parent, current, 0); result != fcp::os::kCrSuccess) {
      setup->DestroyDeviceInfoList(set);
      return result;
    }
    current = parent;
  }

  const Guid& first = local.class_kind == 1   ? interface_class::kCameraSensor
                      : local.class_kind == 2 ? interface_class::kUsbDevice
                                             : interface_class::kKsAudio;
  fcp::os::InterfaceHandle handle = 0;
  if (KvCam_OpenInterface(node, first, &handle) != 0) {
    handle = 0;
    if (const DWORD error = KvCam_OpenInterface(node, interface_class::kKsVideo, &handle); error != 0) {
      setup->DestroyDeviceInfoList(set);
      return error;
    }
  }
  setup->DestroyDeviceInfoList(set);

  uint32_t low = 0, high = 0;
  if (!KvxUpx_OpenDevice(transport, handle, &low, &high)) {
    const DWORD error = DriverLastError();
    Release(*setup, handle, 0, 0);
    return error != 0 ? error : ERROR_INVALID_PARAMETER;
  }
  local.driver_handle_low = low;
  local.driver_handle_high = high;
  local.interface_handle = handle;

  // The walk from the hub the camera is plugged into up to its root hub.
  bool reached_root = false;
  while (local.ancestor_count < kKvCamMaxAncestors) {
    DevInst parent = 0;
    if (setup->GetParent(&parent, current, 0) != fcp::os::kCrSuccess) break;
    current = parent;
    local.ancestors[local.ancestor_count++] = parent;
    wchar_t parent_id[fcp::passthrough::kDeviceIdChars] = {};
    // A hub whose ID cannot be read cannot be told from the root hub: the walk fails.
    if (const fcp::os::ConfigRet read = fcp::passthrough::ReadDeviceId(*setup, parent, parent_id);
        read != fcp::os::kCrSuccess) {
      Release(*setup, handle, low, high);
      return read;
    }
    local.root_hub_kind = RootHubKind(parent_id);
    if (ContainsAny(parent_id, kWalkStops)) {
      reached_root = true;
      break;
    }
  }
  if (!reached_root) {
    Release(*setup, handle, low, high);
    return kErrorFileNotFound;
  }
  local.dev_inst = node;
  std::memcpy(device, &local, sizeof local);

  // Readiness: the device answers a device-descriptor request through the driver. The wait is
  // bounded; the open succeeds either way.
  uint8_t descriptor[18];
  for (int probe = 0; probe < kKvCamReadinessProbes; ++probe) {
    host->SleepMs(kKvCamReadinessPauseMs);
    if (KvxUpx_GetDeviceDescriptor(low, high, descriptor)) break;
    if (DriverLastError() != fcp::os::kErrorNotReady) break;
  }
  return 0;
}

void KvCam_CloseDevice(KvCamDevice* device) {
  if (device == nullptr) return;
  if (device->interface_handle != 0) {
    if (auto* setup = fcp::os::InstalledPort<DeviceSetup>()) setup->CloseInterfaceFile(device->interface_handle);
    device->interface_handle = 0;
  }
  if (device->driver_handle_low != 0 || device->driver_handle_high != 0) {
    KvxUpx_CloseDevice(device->driver_handle_low, device->driver_handle_high);
  }
  device->dev_inst = 0;
  device->driver_handle_low = 0;
  device->driver_handle_high = 0;
  device->ancestor_count = 0;
}
