// The device-setup adapter (SetupDi*, CM_*, CreateFileW) against the platform's own device database,
// run under Wine by scripts/test.d. The probe writes a camera into the registry as the platform's
// device installation leaves one (a composite USB device, its video function of setup class Image
// with a friendly name, a device interface of the camera-sensor class), lists it through the
// adapter, and then through the camera layer itself (KvCam_ListDevice). It removes its keys again.
//
// Each call is reported on a line of its own: "ok" where the platform answers as Windows does,
// "FAIL" where it answers otherwise a call that the written keys alone decide (listing by class,
// device IDs, properties read from the device key, interfaces and their paths), and "gap" where it
// answers otherwise a call that Windows answers from its running device manager (parents, status and
// problems, location paths, nodes outliving their sets): printed with what the platform returned, as
// what the camera layer cannot rely on there, and not counted. Prints "all checks passed" and exits
// 0 when no check failed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "os/device_setup.h"
#include "os/port.h"
#include "os/win32/device_setup_win32.h"
#include "passthrough/kvcam.h"
#include "text/device_classes.h"

namespace {

using fcp::os::DeviceInfoData;
using fcp::os::DeviceInfoSet;
using fcp::os::DeviceInterfaceData;
using fcp::os::DeviceSetup;
using fcp::os::DevInst;

int g_failures = 0;

void Check(bool condition, const char* what, const std::wstring& detail = L"") {
  std::printf("%s: %s%s%ls\n", condition ? "ok  " : "FAIL", what, detail.empty() ? "" : " ", detail.c_str());
  if (!condition) ++g_failures;
}
// A call this platform does not serve as Windows does: what it returned instead.
void Gap(const char* what, const std::wstring& returned) { std::printf("gap : %s: %ls\n", what, returned.c_str()); }

std::wstring Hex(unsigned long value) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%lX", value);
  return text;
}

constexpr wchar_t kEnum[] = L"SYSTEM\\CurrentControlSet\\Enum\\";
constexpr wchar_t kDeviceClasses[] = L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\";
constexpr wchar_t kComposite[] = L"USB\\VID_FC01&PID_0A01\\5&PROBE&0&3";
constexpr wchar_t kFunction[] = L"USB\\VID_FC01&PID_0A01&MI_00\\6&PROBE&0&0000";
// A second camera whose installation failed (CONFIGFLAG_FAILEDINSTALL): Windows reports a problem.
constexpr wchar_t kFailedFunction[] = L"USB\\VID_FC01&PID_0A01&MI_00\\6&PROBE&0&0001";
constexpr DWORD kConfigFlagFailedInstall = 0x40;
// The classes as the platform's registry spells them; the adapter is asked with the tool's own
// (text/device_classes.h), so a wrong digit there finds nothing.
constexpr wchar_t kImageClass[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
constexpr wchar_t kUsbClass[] = L"{36FC9E60-C465-11CF-8056-444553540000}";
constexpr wchar_t kSensorInterface[] = L"{24E552D7-6523-47F7-A647-D3465BF1F5CA}";
constexpr fcp::text::Guid kImage = fcp::text::setup_class::kImage;
constexpr fcp::text::Guid kSensor = fcp::text::interface_class::kCameraSensor;
constexpr wchar_t kFriendlyName[] = L"Probe Camera";

// The device interface's key name: its symbolic link with "\\?\" written "##?#".
std::wstring InterfaceKeyName() {
  std::wstring link = std::wstring(L"##?#") + kFunction + L"#" + kSensorInterface;
  for (wchar_t& c : link) c = c == L'\\' ? L'#' : c;
  return link;
}
std::wstring InterfacePath() {
  std::wstring path = std::wstring(L"\\\\?\\") + kFunction + L"#" + kSensorInterface;
  for (size_t i = 4; i < path.size(); ++i) path[i] = path[i] == L'\\' ? L'#' : path[i];
  return path;
}

bool SetText(HKEY key, const wchar_t* name, DWORD type, const std::wstring& data) {
  return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                        static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}
bool SetDword(HKEY key, const wchar_t* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) == ERROR_SUCCESS;
}
HKEY Create(const std::wstring& path) {
  HKEY key = nullptr;
  return RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
                 ERROR_SUCCESS
             ? key
             : nullptr;
}

void RemoveKeys() {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kEnum) + L"USB\\VID_FC01&PID_0A01").c_str());
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kEnum) + L"USB\\VID_FC01&PID_0A01&MI_00").c_str());  // both functions
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kDeviceClasses) + kSensorInterface + L"\\" + InterfaceKeyName()).c_str());
}

// The composite device and its video function as device installation leaves them.
bool WriteCamera() {
  RemoveKeys();
  bool ok = true;
  if (HKEY key = Create(std::wstring(kEnum) + kComposite)) {
    ok = ok && SetText(key, L"ClassGUID", REG_SZ, kUsbClass) && SetText(key, L"Class", REG_SZ, L"USB") &&
         SetText(key, L"DeviceDesc", REG_SZ, L"USB Composite Device") && SetDword(key, L"Address", 3);
    RegCloseKey(key);
  } else {
    ok = false;
  }
  if (HKEY key = Create(std::wstring(kEnum) + kFunction)) {
    ok = ok && SetText(key, L"ClassGUID", REG_SZ, kImageClass) && SetText(key, L"Class", REG_SZ, L"Image") &&
         SetText(key, L"DeviceDesc", REG_SZ, L"USB Video Device") && SetText(key, L"FriendlyName", REG_SZ, kFriendlyName) &&
         SetText(key, L"ParentIdPrefix", REG_SZ, L"7&PROBE&0") && SetDword(key, L"Address", 0) &&
         SetText(key, L"LocationInformation", REG_SZ, L"0000.0014.0000.003.000.000.000.000.000");
    RegCloseKey(key);
  } else {
    ok = false;
  }
  if (HKEY key = Create(std::wstring(kEnum) + kFailedFunction)) {
    ok = ok && SetText(key, L"ClassGUID", REG_SZ, kImageClass) && SetText(key, L"Class", REG_SZ, L"Image") &&
         SetDword(key, L"ConfigFlags", kConfigFlagFailedInstall);
    RegCloseKey(key);
  } else {
    ok = false;
  }
  const std::wstring interface_key = std::wstring(kDeviceClasses) + kSensorInterface + L"\\" + InterfaceKeyName();
  if (HKEY key = Create(interface_key)) {
    ok = ok && SetText(key, L"DeviceInstance", REG_SZ, kFunction);
    RegCloseKey(key);
  } else {
    ok = false;
  }
  if (HKEY key = Create(interface_key + L"\\#")) {
    ok = ok && SetText(key, L"SymbolicLink", REG_SZ, InterfacePath());
    RegCloseKey(key);
  } else {
    ok = false;
  }
  if (HKEY key = Create(interface_key + L"\\#\\Control")) {
    ok = ok && SetDword(key, L"Linked", 1);
    RegCloseKey(key);
  } else {
    ok = false;
  }
  return ok;
}

std::wstring DeviceIdOf(DeviceSetup& setup, DevInst node) {
  wchar_t id[200] = {};
  const auto result = setup.GetDeviceId(node, id, 200, 0);
  return result == fcp::os::kCrSuccess ? std::wstring(id) : L"(CONFIGRET " + Hex(result) + L")";
}

// Listing by setup class, and what the configuration manager tells of the node found.
void ProbeListing(DeviceSetup& setup) {
  setup.SetLastErrorCode(0);
  const DeviceInfoSet set = setup.GetClassDevs(&kImage, L"USB", fcp::os::kDigcfPresent);
  Check(set != fcp::os::kInvalidDeviceInfoSet, "SetupDiGetClassDevsW(Image, \"USB\", DIGCF_PRESENT) builds a set",
        L"(last error " + Hex(setup.LastError()) + L")");
  if (set == fcp::os::kInvalidDeviceInfoSet) return;
  DeviceInfoData device;
  DevInst node = 0;  // Wine numbers device nodes from 0: no "none" value
  DevInst failed_node = 0;
  bool found = false, failed_found = false;
  DWORD count = 0;
  std::wstring ids;
  for (DWORD i = 0; setup.EnumDeviceInfo(set, i, &device); ++i) {
    ++count;
    const std::wstring id = DeviceIdOf(setup, device.dev_inst);
    ids += L" " + id;
    if (_wcsicmp(id.c_str(), kFunction) == 0) {
      node = device.dev_inst;
      found = true;
    } else if (_wcsicmp(id.c_str(), kFailedFunction) == 0) {
      failed_node = device.dev_inst;
      failed_found = true;
    }
  }
  Check(setup.LastError() == fcp::os::kErrorNoMoreItems, "SetupDiEnumDeviceInfo ends with ERROR_NO_MORE_ITEMS",
        L"(" + Hex(setup.LastError()) + L")");
  Check(found, "the set holds the written video function; CM_Get_Device_IDW names it",
        L"(" + std::to_wstring(count) + L" devices:" + ids + L")");
  std::printf("      its device node: %lu\n", static_cast<unsigned long>(node));
  if (!found) {
    setup.DestroyDeviceInfoList(set);
    return;
  }
  for (DWORD i = 0; setup.EnumDeviceInfo(set, i, &device); ++i) {
    if (device.dev_inst == node) break;
  }

  // Device properties: class and friendly name are read from the device key.
  wchar_t text[260] = {};
  DWORD type = 0;
  Check(setup.GetDeviceRegistryProperty(set, device, fcp::os::kSpdrpClass, &type, reinterpret_cast<uint8_t*>(text),
                                        sizeof text, nullptr) &&
            std::wstring(text) == L"Image",
        "SPDRP_CLASS reads \"Image\"", text);
  std::memset(text, 0, sizeof text);
  Check(setup.GetDeviceRegistryProperty(set, device, fcp::os::kSpdrpFriendlyName, &type,
                                        reinterpret_cast<uint8_t*>(text), sizeof text, nullptr) &&
            std::wstring(text) == kFriendlyName,
        "SPDRP_FRIENDLYNAME reads the friendly name", text);
  // Filled by the platform's device manager on Windows, from no registry value: the probe cannot
  // write them, so what this platform gives is reported, not checked.
  DWORD required = 0;
  setup.SetLastErrorCode(0);
  const BOOL paths = setup.GetDeviceRegistryProperty(set, device, fcp::os::kSpdrpLocationPaths, nullptr, nullptr, 0,
                                                     &required);
  const DWORD paths_error = setup.LastError();
  if (!paths && paths_error == fcp::os::kErrorInsufficientBuffer && required > 0) {
    std::printf("ok  : SPDRP_LOCATION_PATHS asks for %lu bytes\n", static_cast<unsigned long>(required));
  } else {
    Gap("SPDRP_LOCATION_PATHS (the camera layer's location path stays empty)",
        L"BOOL " + std::to_wstring(paths) + L", last error " + Hex(paths_error) + L", required " + std::to_wstring(required));
  }
  DWORD address = 0xFFFFFFFF;
  setup.SetLastErrorCode(0);
  const BOOL has_address = setup.GetDeviceRegistryProperty(set, device, fcp::os::kSpdrpAddress, nullptr,
                                                           reinterpret_cast<uint8_t*>(&address), sizeof address, nullptr);
  if (has_address) {
    std::printf("ok  : SPDRP_ADDRESS reads %lu\n", static_cast<unsigned long>(address));
  } else {
    Gap("SPDRP_ADDRESS", L"last error " + Hex(setup.LastError()));
  }

  // Configuration manager: status and parent.
  DWORD status = 0, problem = 0;
  const auto status_result = setup.GetDevNodeStatus(&status, &problem, node, 0);
  if (status_result == fcp::os::kCrSuccess && (status & fcp::os::kDnHasProblem) == 0) {
    std::printf("ok  : CM_Get_DevNode_Status: status 0x%lX, problem %lu\n", static_cast<unsigned long>(status),
                static_cast<unsigned long>(problem));
  } else {
    Gap("CM_Get_DevNode_Status (the listing skips every node)",
        L"CONFIGRET " + Hex(status_result) + L", status " + Hex(status) + L", problem " + std::to_wstring(problem));
  }
  if (failed_found) {
    DWORD failed_status = 0, failed_problem = 0;
    const auto failed_result = setup.GetDevNodeStatus(&failed_status, &failed_problem, failed_node, 0);
    if (failed_result == fcp::os::kCrSuccess && (failed_status & fcp::os::kDnHasProblem) != 0) {
      std::printf("ok  : CM_Get_DevNode_Status reports the failed installation: problem %lu\n",
                  static_cast<unsigned long>(failed_problem));
    } else {
      Gap("CM_Get_DevNode_Status on a failed installation (the listing keeps a device with a problem)",
          L"CONFIGRET " + Hex(failed_result) + L", status " + Hex(failed_status) + L", problem " +
              std::to_wstring(failed_problem));
    }
  } else {
    Gap("SetupDiGetClassDevsW(DIGCF_PRESENT) leaves out the failed installation", L"not in the set");
  }
  DevInst parent = 0xFFFFFFFF;
  const auto parent_result = setup.GetParent(&parent, node, 0);
  const std::wstring parent_id = parent_result == fcp::os::kCrSuccess ? DeviceIdOf(setup, parent) : L"";
  if (parent_result == fcp::os::kCrSuccess && parent_id == kComposite) {
    std::printf("ok  : CM_Get_Parent gives the composite device\n");
  } else {
    Gap("CM_Get_Parent (the walk to the root hub fails: no camera connection)",
        L"CONFIGRET " + Hex(parent_result) + L", parent " + Hex(parent) + L" " + parent_id);
  }
  setup.DestroyDeviceInfoList(set);
}

// The device's own set with its interfaces, as the camera layer opens a camera.
void ProbeInterfaces(DeviceSetup& setup) {
  setup.SetLastErrorCode(0);
  const DeviceInfoSet set = setup.GetClassDevs(
      nullptr, kFunction, fcp::os::kDigcfPresent | fcp::os::kDigcfAllClasses | fcp::os::kDigcfDeviceInterface);
  if (set == fcp::os::kInvalidDeviceInfoSet) {
    Gap("SetupDiGetClassDevsW(null, <device ID>, PRESENT|ALLCLASSES|DEVICEINTERFACE)",
        L"INVALID_HANDLE_VALUE, last error " + Hex(setup.LastError()));
    return;
  }
  DeviceInfoData device;
  if (!setup.EnumDeviceInfo(set, 0, &device)) {
    Gap("the device's own interface set holds no device", L"last error " + Hex(setup.LastError()));
    setup.DestroyDeviceInfoList(set);
    return;
  }
  std::printf("ok  : the device's own interface set holds %ls\n", DeviceIdOf(setup, device.dev_inst).c_str());
  DeviceInterfaceData data;
  if (!setup.EnumDeviceInterfaces(set, &device, kSensor, 0, &data)) {
    Gap("SetupDiEnumDeviceInterfaces(camera sensor class)", L"last error " + Hex(setup.LastError()));
    setup.DestroyDeviceInfoList(set);
    return;
  }
  DWORD required = 0;
  const BOOL sized = setup.GetDeviceInterfacePath(set, data, nullptr, 0, &required);
  Check(!sized && setup.LastError() == fcp::os::kErrorInsufficientBuffer && required > 0,
        "SetupDiGetDeviceInterfaceDetailW tells the path's size");
  std::vector<wchar_t> path(required + 1);
  const BOOL filled = required > 0 && setup.GetDeviceInterfacePath(set, data, path.data(),
                                                                  static_cast<DWORD>(path.size()), nullptr);
  Check(filled && _wcsicmp(path.data(), InterfacePath().c_str()) == 0, "the interface path is the symbolic link",
        filled ? path.data() : L"");
  // No driver behind the path here: the open fails, and the adapter hands that failure on.
  const auto file = setup.CreateInterfaceFile(path.data(), fcp::os::kGenericRead | fcp::os::kGenericWrite, 0,
                                              fcp::os::kOpenExisting, fcp::os::kFileAttributeNormal);
  const DWORD open_error = setup.LastError();
  if (file != fcp::os::kInvalidInterfaceHandle && file != 0) {
    Check(false, "CreateFileW on an interface without a driver fails");
    setup.CloseInterfaceFile(file);
  } else {
    std::printf("ok  : CreateFileW on the interface fails without a driver (last error 0x%lX)\n",
                static_cast<unsigned long>(open_error));
  }
  Check(setup.DeleteDeviceInterfaceData(set, &data) != 0 || setup.LastError() != 0,
        "SetupDiDeleteDeviceInterfaceData answers");
  Check(setup.DestroyDeviceInfoList(set) != 0, "SetupDiDestroyDeviceInfoList");
}

// The camera layer itself over the adapter: the camera list.
void ProbeCameraLayer() {
  fcp::os::ScopedPort<DeviceSetup> setup(&fcp::os::win32::Win32DeviceSetup());
  fcp::os::ScopedPort<fcp::os::CameraLayerHost> host(&fcp::os::win32::Win32CameraLayerHost());
  Check(KvxUpxCam_Init(), "KvxUpxCam_Init: version check, named mutex, Winsock 2.2");
  KvCamDeviceInfo* records = nullptr;
  int32_t count = 0;
  const DWORD listed = KvCam_ListDevice(&records, &count, kKvCamListCameras);
  bool found = false;
  for (int32_t i = 0; i < count; ++i) {
    if (_wcsicmp(records[i].device_instance_id, kFunction) == 0) {
      found = true;
      Check(std::wstring(records[i].display_name) == kFriendlyName, "KvCam_ListDevice: the record's display name",
            records[i].display_name);
    }
  }
  if (listed == 0 && found) {
    std::printf("ok  : KvCam_ListDevice lists the camera (%d records)\n", static_cast<int>(count));
    // The open stops where the platform stops serving: before the driver is asked for anything
    // (the interface open fails without a driver behind it in any case).
    for (int32_t i = 0; i < count; ++i) {
      if (_wcsicmp(records[i].device_instance_id, kFunction) != 0) continue;
      // On Windows a device node stays valid while the device is present; the listing's sets are gone.
      const std::wstring id = DeviceIdOf(fcp::os::win32::Win32DeviceSetup(), records[i].dev_inst);
      if (_wcsicmp(id.c_str(), kFunction) == 0) {
        std::printf("ok  : the listed device node still names the camera after the listing\n");
      } else {
        Gap("CM_Get_Device_IDW on a node of a destroyed set (the node is gone with its set)", L"\"" + id + L"\"");
      }
      KvCamDevice device{};
      const DWORD opened = KvCam_OpenDevice(&device, records[i].dev_inst);
      Check(opened != 0, "KvCam_OpenDevice fails without a driver");
      Gap("KvCam_OpenDevice (no camera connection)", L"result " + Hex(opened));
      if (opened == 0) KvCam_CloseDevice(&device);
    }
  } else {
    Gap("KvCam_ListDevice (no camera reaches the pass-through route)",
        L"result " + Hex(listed) + L", " + std::to_wstring(count) + L" records, the camera " + (found ? L"among them" : L"not among them"));
  }
  KvCam_FreeDeviceList(records);
}

}  // namespace

int main() {
  if (!WriteCamera()) {
    std::printf("FAIL: cannot write the camera's keys\n");
    RemoveKeys();
    return 1;
  }
  ProbeListing(fcp::os::win32::Win32DeviceSetup());
  ProbeInterfaces(fcp::os::win32::Win32DeviceSetup());
  ProbeCameraLayer();
  RemoveKeys();
  if (g_failures != 0) {
    std::printf("%d check(s) failed\n", g_failures);
    return 1;
  }
  std::printf("all checks passed\n");
  return 0;
}
