// Camera discovery and selection: the enumerator, open by index, the default / IDs / location
// selections, the devices a location names, and close.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "os/operator_notices.h"
#include "os/port.h"
#include "os/video_inputs.h"
#include "text/ascii_case.h"
#include "text/widening.h"
#include "uvc/current_camera.h"
#include "uvc/device_text.h"
#include "uvc/device_values.h"
#include "uvc/location_devices.h"
#include "uvc/uvc.h"

using fcp::os::DeviceMoniker;
using fcp::os::MonikerEnumerator;
using fcp::os::PropertyBag;
using fcp::uvc::Camera;
using fcp::uvc::CurrentCamera;

namespace {

// The video input enumerator, reset to its start. Only S_OK counts: S_FALSE is an empty category.
std::unique_ptr<MonikerEnumerator> CreateEnumerator() {
  auto* video_inputs = fcp::os::InstalledPort<fcp::os::VideoInputs>();
  if (video_inputs == nullptr) return nullptr;
  std::unique_ptr<MonikerEnumerator> enumerator;
  if (video_inputs->CreateVideoInputEnumerator(enumerator) != S_OK || !enumerator) return nullptr;
  enumerator->Reset();
  return enumerator;
}

// The moniker at `index`, or null.
std::unique_ptr<DeviceMoniker> MonikerAt(MonikerEnumerator& enumerator, int index) {
  if (index != 0 && enumerator.Skip(static_cast<uint32_t>(index)) != S_OK) return nullptr;
  std::unique_ptr<DeviceMoniker> moniker;
  if (enumerator.Next(moniker) != S_OK || !moniker) return nullptr;
  return moniker;
}

// A camera the user may not open is passed over like an absent one; without a word the operator
// would only see "No vaild device.". Said once per camera and process, by its IDs and location as the
// verdict names a camera.
void SayNoAccess() {
  if (fcp::os::InstalledPort<fcp::os::OperatorNotices>() == nullptr) return;
  const std::wstring path = fcp::text::UpperAscii(Camera().device_path);
  std::wstring location;
  std::optional<std::string> where;
  if (UVC_ReadDeviceRegValue(L"LocationInformation", location))
    where = fcp::text::PrintableAscii(fcp::uvc::LocationTail(location));
  fcp::os::SayNoAccessOnce("camera", fcp::uvc::HexFieldAfter(path, L"VID_", 4).value_or(0),
                           fcp::uvc::HexFieldAfter(path, L"PID_", 4).value_or(0), where, "video node");
}

// Steps after the moniker: properties, filter, control interface, extension unit, signature, status.
bool OpenMoniker(DeviceMoniker& moniker) {
  CurrentCamera& camera = Camera();
  std::unique_ptr<PropertyBag> bag;
  if (moniker.BindToStorage(bag) != S_OK || !bag) return false;
  if (bag->Read(L"DevicePath", camera.device_path) != S_OK) return false;
  camera.device_id = fcp::uvc::DeviceIdFromPath(camera.device_path);
  if (bag->Read(L"FriendlyName", camera.friendly_name) != S_OK) return false;
  const HRESULT bound = moniker.BindToObject(camera.filter);
  if (bound == fcp::os::HresultFromWin32(ERROR_ACCESS_DENIED)) SayNoAccess();
  if (FAILED(bound) || !camera.filter) return false;
  if (FAILED(camera.filter->QueryKsControl(camera.ks_control)) || !camera.ks_control) return false;
  uint32_t node_id = 0;
  if (!UVC_FindExtensionUnit(node_id)) return false;
  camera.node_id = node_id;
  return UVC_DevQualify() && UVC_GetDevStatus();
}

// Walks the cameras in enumeration order and keeps the first that opens and that `accept` takes.
// A failed selection leaves no camera current.
template <class Accept>
int SelectFirst(Accept accept) {
  const int count = UVC_GetDeviceCount();
  for (int index = 0; index < count; ++index) {
    if (!UVC_OpenByIndex(index)) continue;
    if (accept()) return 1;
  }
  UVC_Close();
  return 0;
}

}  // namespace

std::vector<fcp::uvc::LocatedDevice> fcp::uvc::DevicesAtLocation(std::wstring_view location) {
  std::vector<LocatedDevice> devices;
  auto enumerator = CreateEnumerator();
  if (!enumerator) return devices;
  for (;;) {
    std::unique_ptr<DeviceMoniker> moniker;
    if (enumerator->Next(moniker) != S_OK) break;
    std::unique_ptr<PropertyBag> bag;
    std::wstring device_path;
    if (!moniker || moniker->BindToStorage(bag) != S_OK || !bag || bag->Read(L"DevicePath", device_path) != S_OK)
      continue;
    std::wstring location_information;
    if (!ReadDeviceValue(DeviceIdFromPath(device_path), L"LocationInformation", location_information)) continue;
    if (!text::EqualsIgnoringCase(LocationTail(location_information), location)) continue;
    const bool listed = std::any_of(devices.begin(), devices.end(), [&](const LocatedDevice& device) {
      return text::EqualsIgnoringCase(device.location_information, location_information);
    });
    if (listed) continue;
    device_path = text::UpperAscii(std::move(device_path));
    devices.push_back({std::move(location_information), HexFieldAfter(device_path, L"VID_", 4).value_or(0),
                       HexFieldAfter(device_path, L"PID_", 4).value_or(0)});
  }
  return devices;
}

int UVC_GetDeviceCount() {
  auto enumerator = CreateEnumerator();
  if (!enumerator) return 0;
  int count = 0;
  for (;;) {
    std::unique_ptr<DeviceMoniker> moniker;
    if (enumerator->Next(moniker) != S_OK) break;
    ++count;
  }
  return count;
}

int UVC_OpenByIndex(int index) {
  UVC_Close();
  if (index < 0) return 0;
  auto enumerator = CreateEnumerator();
  if (!enumerator) return 0;
  auto moniker = MonikerAt(*enumerator, index);
  if (moniker && OpenMoniker(*moniker)) return 1;
  UVC_Close();
  return 0;
}

int UVC_OpenDefault() {
  return SelectFirst([] {
    if (UVC_IsSensorCamera()) return false;
    std::wstring& device_id = Camera().device_id;
    device_id = fcp::text::UpperAscii(std::move(device_id));
    return device_id.find(L"MI_00") != std::wstring::npos;
  });
}

int UVC_OpenByVidPid(uint16_t vid, uint16_t pid) {
  return SelectFirst([vid, pid] {
    std::wstring& device_path = Camera().device_path;
    device_path = fcp::text::UpperAscii(std::move(device_path));
    const auto path_vid = fcp::uvc::HexFieldAfter(device_path, L"VID", 4);
    const auto path_pid = fcp::uvc::HexFieldAfter(device_path, L"PID", 4);
    return path_vid == vid && path_pid == pid;
  });
}

int UVC_OpenByLocationInfo(const wchar_t* location) {
  if (location == nullptr) {
    UVC_Close();
    return 0;
  }
  const std::wstring_view wanted = location;
  // The location text leaves the bus out. Where it names more than one device, the first camera that
  // matches could be any of them: select none, rather than a camera the operator did not choose.
  if (fcp::uvc::DevicesAtLocation(wanted).size() > 1) {
    UVC_Close();
    return 0;
  }
  return SelectFirst([wanted] {
    std::wstring location_information;
    if (!UVC_ReadDeviceRegValue(L"LocationInformation", location_information)) return false;
    return fcp::text::EqualsIgnoringCase(fcp::uvc::LocationTail(location_information), wanted);
  });
}

void UVC_Close() {
  CurrentCamera& camera = Camera();
  camera.ks_control.reset();
  camera.filter.reset();
  camera.device_path.clear();
  camera.device_id.clear();
  camera.friendly_name.clear();
  camera.node_id = 0;
  camera.status.fill(0);
}
