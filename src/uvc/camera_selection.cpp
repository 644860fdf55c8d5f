// Camera discovery and selection: the enumerator, open by index, the default / IDs / location
// selections, and close.
#include <memory>

#include "os/port.h"
#include "os/video_inputs.h"
#include "text/ascii_case.h"
#include "uvc/current_camera.h"
#include "uvc/device_text.h"
#include "uvc/uvc.h"

using fcp::os::DeviceMoniker;
using fcp::os::MonikerEnumerator;
using fcp::os::PropertyBag;
using fcp::uvc::Camera;
using fcp::uvc::CurrentCamera;

namespace {

// The video input enumerator, reset to its start. Only S_OK counts: S_FALSE is an empty category.
std::unique_ptr<MonikerEnumerator> CreateEnumerator() {
  auto* videoInputs = fcp::os::InstalledPort<fcp::os::VideoInputs>();
  if (videoInputs == nullptr) return nullptr;
  std::unique_ptr<MonikerEnumerator> enumerator;
  if (videoInputs->CreateVideoInputEnumerator(enumerator) != S_OK || !enumerator) return nullptr;
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

// Steps after the moniker: properties, filter, control interface, extension unit, signature, status.
bool OpenMoniker(DeviceMoniker& moniker) {
  CurrentCamera& camera = Camera();
  std::unique_ptr<PropertyBag> bag;
  if (moniker.BindToStorage(bag) != S_OK || !bag) return false;
  if (bag->Read(L"DevicePath", camera.devicePath) != S_OK) return false;
  camera.deviceId = fcp::uvc::DeviceIdFromPath(camera.devicePath);
  if (bag->Read(L"FriendlyName", camera.friendlyName) != S_OK) return false;
  if (FAILED(moniker.BindToObject(camera.filter)) || !camera.filter) return false;
  if (FAILED(camera.filter->QueryKsControl(camera.ksControl)) || !camera.ksControl) return false;
  uint32_t nodeId = 0;
  if (!UVC_FindExtensionUnit(nodeId)) return false;
  camera.nodeId = nodeId;
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
    std::wstring& deviceId = Camera().deviceId;
    deviceId = fcp::text::UpperAscii(std::move(deviceId));
    return deviceId.find(L"MI_00") != std::wstring::npos;
  });
}

int UVC_OpenByVidPid(uint16_t vid, uint16_t pid) {
  return SelectFirst([vid, pid] {
    std::wstring& devicePath = Camera().devicePath;
    devicePath = fcp::text::UpperAscii(std::move(devicePath));
    const auto pathVid = fcp::uvc::HexFieldAfter(devicePath, L"VID", 4);
    const auto pathPid = fcp::uvc::HexFieldAfter(devicePath, L"PID", 4);
    return pathVid == vid && pathPid == pid;
  });
}

int UVC_OpenByLocationInfo(const wchar_t* location) {
  if (location == nullptr) {
    UVC_Close();
    return 0;
  }
  const std::wstring_view wanted = location;
  return SelectFirst([wanted] {
    std::wstring locationInformation;
    if (!UVC_ReadDeviceRegValue(L"LocationInformation", locationInformation)) return false;
    return fcp::text::EqualsIgnoringCase(fcp::uvc::LocationTail(locationInformation), wanted);
  });
}

void UVC_Close() {
  CurrentCamera& camera = Camera();
  camera.ksControl.reset();
  camera.filter.reset();
  camera.devicePath.clear();
  camera.deviceId.clear();
  camera.friendlyName.clear();
  camera.nodeId = 0;
  camera.status.fill(0);
}
