// The camera layer's start-up, the camera list and the opening of a device interface.
#include <cwchar>
#include <vector>

#include "os/port.h"
#include "passthrough/camera_text.h"
#include "passthrough/kvcam.h"
#include "text/device_classes.h"

using fcp::os::CameraLayerHost;
using fcp::os::DeviceInfoData;
using fcp::os::DeviceInfoSet;
using fcp::os::DeviceSetup;
using fcp::os::DevInst;
using fcp::text::Guid;
using fcp::os::InterfaceHandle;

namespace {

constexpr wchar_t kCameraLayerMutex[] = L"ICOperateSync_2014_3_28";
constexpr WORD kWinsockVersion = 0x0202;
constexpr DWORD kErrorNotSupported = 50;  // no device-setup port on this platform

bool g_vista_or_later = false;
uintptr_t g_camera_layer_mutex = 0;

// A device counts, in both passes of the listing, when its node answers and reports no problem.
bool Counts(DeviceSetup& setup, DevInst node) {
  DWORD status = 0, problem = 0;
  return setup.GetDevNodeStatus(&status, &problem, node, 0) == fcp::os::kCrSuccess &&
         (status & fcp::os::kDnHasProblem) == 0;
}

// The last error after building a device information set: 0 to go on, else what to return.
DWORD SetBuildError(DeviceSetup& setup, DeviceInfoSet set) {
  const DWORD error = setup.LastError();
  if (set != fcp::os::kInvalidDeviceInfoSet && (error == 0 || error == fcp::os::kErrorNotAllAssigned)) return 0;
  return error != 0 ? error : fcp::os::kErrorInvalidData;
}

// Counts the devices of a set that pass the status test; false when enumeration ends with anything
// but ERROR_NO_MORE_ITEMS (the error is left in `error`).
bool CountDevices(DeviceSetup& setup, DeviceInfoSet set, int32_t& total, DWORD& error) {
  DeviceInfoData device;
  for (DWORD index = 0; setup.EnumDeviceInfo(set, index, &device); ++index) {
    if (Counts(setup, device.dev_inst)) ++total;
  }
  error = setup.LastError();
  return error == fcp::os::kErrorNoMoreItems;
}

// A record without its device's ID is not handed out: the result is the configuration manager's.
fcp::os::ConfigRet FillRecord(DeviceSetup& setup, DeviceInfoSet set, const DeviceInfoData& device,
                              DWORD index_in_class, KvCamDeviceInfo& record) {
  wchar_t id[fcp::passthrough::kDeviceIdChars] = {};
  if (const fcp::os::ConfigRet read = fcp::passthrough::ReadDeviceId(setup, device.dev_inst, id);
      read != fcp::os::kCrSuccess)
    return read;
  if (!fcp::passthrough::ReadTextProperty(setup, set, device, fcp::os::kSpdrpFriendlyName, record.display_name)) {
    // At most 28 characters: the text always fits, so there is no failure to look at.
    (void)std::swprintf(record.display_name, kKvCamTextChars, L"Usb Video Device #%d",
                        static_cast<int>(index_in_class + 1));
  }
  record.dev_inst = device.dev_inst;
  fcp::passthrough::CopyText(id, record.device_instance_id);
  return fcp::os::kCrSuccess;
}

void DestroySets(DeviceSetup& setup, DeviceInfoSet image, DeviceInfoSet camera) {
  if (image != fcp::os::kInvalidDeviceInfoSet) setup.DestroyDeviceInfoList(image);
  if (camera != fcp::os::kInvalidDeviceInfoSet) setup.DestroyDeviceInfoList(camera);
}

}  // namespace

bool KvxUpxCam_Init() {
  auto* host = fcp::os::InstalledPort<CameraLayerHost>();
  if (host == nullptr) return false;
  g_vista_or_later = host->VersionAtLeast(6, 0, 0) != 0;
  // Kept until the process ends: other processes may look for the name.
  g_camera_layer_mutex = host->CreateNamedMutex(kCameraLayerMutex);
  WORD granted = 0;
  if (host->WsaStartup(kWinsockVersion, &granted) != 0) return false;
  if ((granted & 0xFF) != 2 || (granted >> 8) != 2) {
    host->WsaCleanup();
    return false;
  }
  return true;
}

bool KvCam_IsVistaOrLater() { return g_vista_or_later; }

DWORD KvCam_ListDevice(KvCamDeviceInfo** records, int32_t* count, uint32_t /*class_selector*/) {
  if (records == nullptr || count == nullptr) return ERROR_INVALID_PARAMETER;
  *records = nullptr;
  *count = 0;
  auto* setup = fcp::os::InstalledPort<DeviceSetup>();
  if (setup == nullptr) return kErrorNotSupported;

  const DeviceInfoSet image = setup->GetClassDevs(&fcp::text::setup_class::kImage, L"USB", fcp::os::kDigcfPresent);
  if (const DWORD error = SetBuildError(*setup, image)) {
    if (image != fcp::os::kInvalidDeviceInfoSet) setup->DestroyDeviceInfoList(image);
    return error;
  }
  int32_t total = 0;
  DWORD error = 0;
  if (!CountDevices(*setup, image, total, error)) {
    setup->DestroyDeviceInfoList(image);
    return error;
  }
  const DeviceInfoSet camera = setup->GetClassDevs(&fcp::text::setup_class::kCamera, L"USB", fcp::os::kDigcfPresent);
  if (camera == fcp::os::kInvalidDeviceInfoSet) {
    const DWORD build_error = setup->LastError();
    setup->DestroyDeviceInfoList(image);
    return build_error != 0 ? build_error : fcp::os::kErrorInvalidData;
  }
  if (!CountDevices(*setup, camera, total, error)) {
    DestroySets(*setup, image, camera);
    return error;
  }
  if (total == 0) {
    DestroySets(*setup, image, camera);
    return fcp::os::kErrorNoMoreItems;
  }

  // Filling pass: the same walk and test. A device that went away since the count leaves the array
  // short; that listing fails as a whole rather than hand out records nobody filled.
  auto* array = new KvCamDeviceInfo[static_cast<size_t>(total)]();
  int32_t filled = 0;
  DWORD failure = 0;
  for (const DeviceInfoSet set : {image, camera}) {
    DeviceInfoData device;
    DWORD index = 0;
    for (; failure == 0 && filled < total && setup->EnumDeviceInfo(set, index, &device); ++index) {
      if (Counts(*setup, device.dev_inst)) failure = FillRecord(*setup, set, device, index, array[filled++]);
    }
    if (failure != 0 || filled == total) break;
    const DWORD ended = setup->LastError();
    if (set == image && ended == fcp::os::kErrorNoMoreItems) continue;
    failure = ended != 0 ? ended : fcp::os::kErrorNoMoreItems;
    break;
  }
  if (filled < total && failure == 0) failure = fcp::os::kErrorNoMoreItems;  // the camera set ran out early
  DestroySets(*setup, image, camera);
  if (failure != 0) {
    delete[] array;
    return failure;
  }
  *records = array;
  *count = total;
  return 0;
}

void KvCam_FreeDeviceList(KvCamDeviceInfo* records) { delete[] records; }

DWORD KvCam_OpenInterface(DevInst node, const Guid& interface_class, InterfaceHandle* handle) {
  if (handle == nullptr) return ERROR_INVALID_PARAMETER;
  auto* setup = fcp::os::InstalledPort<DeviceSetup>();
  if (setup == nullptr) return kErrorNotSupported;
  wchar_t id[fcp::passthrough::kDeviceIdChars] = {};
  if (const fcp::os::ConfigRet read = fcp::passthrough::ReadDeviceId(*setup, node, id); read != fcp::os::kCrSuccess)
    return read;
  const DeviceInfoSet set = setup->GetClassDevs(
      nullptr, id, fcp::os::kDigcfPresent | fcp::os::kDigcfAllClasses | fcp::os::kDigcfDeviceInterface);
  if (set == fcp::os::kInvalidDeviceInfoSet) return setup->LastError();

  DeviceInfoData device;
  // Only the first device of the set is used: the set was built for this one device. An empty set
  // is a failure (its enumeration's error), not a success without a handle.
  if (!setup->EnumDeviceInfo(set, 0, &device)) {
    const DWORD error = setup->LastError();
    setup->DestroyDeviceInfoList(set);
    return error != 0 ? error : fcp::os::kErrorNoMoreItems;
  }
  fcp::os::DeviceInterfaceData data;
  if (!setup->EnumDeviceInterfaces(set, &device, interface_class, 0, &data)) {
    const DWORD error = setup->LastError();
    setup->DestroyDeviceInfoList(set);
    return error;
  }
  DWORD required = 0;
  if (!setup->GetDeviceInterfacePath(set, data, nullptr, 0, &required) &&
      setup->LastError() != fcp::os::kErrorInsufficientBuffer) {
    const DWORD error = setup->LastError();
    setup->DestroyDeviceInfoList(set);
    return error;
  }
  std::vector<wchar_t> path(required + 1);
  if (!setup->GetDeviceInterfacePath(set, data, path.data(), static_cast<DWORD>(path.size()), nullptr)) {
    const DWORD error = setup->LastError();
    setup->DestroyDeviceInfoList(set);
    return error;
  }
  const InterfaceHandle file =
      setup->CreateInterfaceFile(path.data(), fcp::os::kGenericRead | fcp::os::kGenericWrite, 0, fcp::os::kOpenExisting,
                                 fcp::os::kFileAttributeNormal);
  if (file == 0 || file == fcp::os::kInvalidInterfaceHandle) {
    const DWORD error = setup->LastError();
    setup->DestroyDeviceInfoList(set);
    return error;
  }
  *handle = file;
  setup->DeleteDeviceInterfaceData(set, &data);
  setup->DestroyDeviceInfoList(set);
  return 0;
}
