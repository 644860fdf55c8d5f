// fcp-camera-setup <scenario.json> <fcp-virtual-camera.dll>
//
// Registers the virtual DirectShow camera for the cameras of a scenario (layout in virtual_camera.h):
// removes what an earlier set-up registered, registers the DLL, gives every video input of the
// scenario an instance in the video input category, and writes each USB camera's device key below
// SYSTEM\ControlSet001\Enum from the same views the virtual workstation's tests use.
// Prints one line per camera; exits 0 on success, 1 on a registry failure, 2 on bad arguments.
// The workstation's headers come first: the COM headers define `interface` as a macro.
#include "sim/dshow_camera/scenario_win32.h"
#include "sim/windows/windows_views.h"
#include "text/ascii_case.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sim/dshow_camera/virtual_camera.h"

namespace {

using namespace fcp::sim;
using namespace fcp::sim::dshow;

const std::wstring kClassesClsid = L"SOFTWARE\\Classes\\CLSID\\";
const std::wstring kInstances = kClassesClsid + kVideoInputCategoryText + L"\\Instance";
constexpr wchar_t kInstancePrefix[] = L"fcp-virtual-camera-";
// In the DLL's class key: the device keys this program wrote, to be removed by the next set-up.
constexpr wchar_t kDeviceKeysValue[] = L"DeviceKeys";

class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  LONG Create(const std::wstring& path) {
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
  }
  LONG Open(const std::wstring& path) { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key_); }
  LONG SetText(const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ) const {
    return RegSetValueExW(key_, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  LONG SetDword(const wchar_t* name, DWORD value) const {
    return RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  }
  // A REG_SZ or REG_MULTI_SZ value as its raw characters (empty when absent).
  std::wstring Text(const wchar_t* name) const {
    DWORD size = 0;
    if (RegQueryValueExW(key_, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return {};
    std::wstring text(size / sizeof(wchar_t), L'\0');
    if (RegQueryValueExW(key_, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text.data()), &size) != ERROR_SUCCESS)
      return {};
    text.resize(size / sizeof(wchar_t));
    return text;
  }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// The strings of a multi-string's raw characters.
std::vector<std::wstring> Strings(const std::wstring& multi) {
  std::vector<std::wstring> strings;
  for (size_t at = 0; at < multi.size();) {
    const size_t end = multi.find(L'\0', at);
    const std::wstring one = multi.substr(at, end == std::wstring::npos ? std::wstring::npos : end - at);
    if (one.empty()) break;
    strings.push_back(one);
    if (end == std::wstring::npos) break;
    at = end + 1;
  }
  return strings;
}

std::wstring MultiString(const std::vector<std::wstring>& strings) {
  std::wstring multi;
  for (const auto& one : strings) multi += one + L'\0';
  return multi;  // the value's own terminator follows from SetText
}

bool Removed(LONG result) { return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND; }

// Everything an earlier set-up wrote: the instances of the category that name this DLL's class,
// and the device keys it listed.
bool RemoveEarlierSetup() {
  bool ok = true;
  {
    Key class_key;
    if (class_key.Open(kClassesClsid + kVirtualCameraClsidText) == ERROR_SUCCESS) {
      for (const auto& device_key : Strings(class_key.Text(kDeviceKeysValue))) {
        ok = Removed(RegDeleteTreeW(HKEY_LOCAL_MACHINE, device_key.c_str())) && ok;
      }
    }
  }
  std::vector<std::wstring> ours;
  {
    Key instances;
    if (instances.Open(kInstances) == ERROR_SUCCESS) {
      wchar_t name[256];
      for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(std::size(name));
        const LONG result = RegEnumKeyExW(instances.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) continue;
        Key instance;
        if (instance.Open(kInstances + L"\\" + name) != ERROR_SUCCESS) continue;
        const std::wstring clsid = instance.Text(L"CLSID");
        // The value's raw characters end in its NUL: compare the text before it.
        if (fcp::text::EqualsIgnoringCase(clsid.c_str(), kVirtualCameraClsidText)) ours.push_back(name);
      }
    }
  }
  for (const auto& name : ours) ok = Removed(RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kInstances + L"\\" + name).c_str())) && ok;
  return Removed(RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kClassesClsid + kVirtualCameraClsidText).c_str())) && ok;
}

bool WriteDeviceKey(const windows::CameraDeviceKey& camera, std::wstring& path) {
  path = std::wstring(windows::kEnumRoot) + camera.instance_id;
  if (!Removed(RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str()))) return false;
  Key device, parameters;
  if (device.Create(path) != ERROR_SUCCESS || parameters.Create(path + L"\\Device Parameters") != ERROR_SUCCESS)
    return false;
  return device.SetText(L"LocationInformation", camera.location_information) == ERROR_SUCCESS &&
         device.SetText(L"HardwareID", MultiString(camera.hardware_ids), REG_MULTI_SZ) == ERROR_SUCCESS &&
         (!camera.sensor_camera_mode || parameters.SetDword(L"SensorCameraMode", *camera.sensor_camera_mode) == ERROR_SUCCESS);
}

std::wstring FullPath(const wchar_t* path) {
  const DWORD size = GetFullPathNameW(path, 0, nullptr, nullptr);
  if (size == 0) return {};
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(path, size, full.data(), nullptr);
  if (length == 0 || length >= size) return {};
  full.resize(length);
  return full;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fcp-camera-setup <scenario.json> <fcp-virtual-camera.dll>\n");
    return 2;
  }
  const std::wstring scenario_path = FullPath(argv[1]);
  const std::wstring dll_path = FullPath(argv[2]);
  if (scenario_path.empty() || dll_path.empty() || GetFileAttributesW(dll_path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    std::fprintf(stderr, "fcp-camera-setup: no such scenario or DLL\n");
    return 2;
  }
  ScenarioLoad scenario = LoadScenarioFileW(scenario_path);
  if (!scenario.workstation) {
    std::fprintf(stderr, "%s\n", scenario.error.c_str());
    return 2;
  }
  if (!RemoveEarlierSetup()) {
    std::fprintf(stderr, "fcp-camera-setup: an earlier set-up cannot be removed\n");
    return 1;
  }

  windows::WindowsViews views(scenario.workstation);
  std::vector<std::wstring> device_keys;
  for (const auto& camera : views.Registry().CameraKeys()) {
    std::wstring path;
    if (!WriteDeviceKey(camera, path)) {
      std::fprintf(stderr, "fcp-camera-setup: device key %ls cannot be written\n", path.c_str());
      return 1;
    }
    device_keys.push_back(path);
  }
  Key class_key, server;
  if (class_key.Create(kClassesClsid + kVirtualCameraClsidText) != ERROR_SUCCESS ||
      class_key.SetText(nullptr, L"Virtual camera") != ERROR_SUCCESS ||
      class_key.SetText(kDeviceKeysValue, MultiString(device_keys), REG_MULTI_SZ) != ERROR_SUCCESS ||
      server.Create(kClassesClsid + kVirtualCameraClsidText + L"\\InprocServer32") != ERROR_SUCCESS ||
      server.SetText(nullptr, dll_path) != ERROR_SUCCESS || server.SetText(L"ThreadingModel", L"Both") != ERROR_SUCCESS) {
    std::fprintf(stderr, "fcp-camera-setup: the DLL cannot be registered\n");
    return 1;
  }

  // Every video input of the scenario, in the view's order (software cameras first).
  std::unique_ptr<fcp::os::MonikerEnumerator> inputs;
  if (views.VideoInputs().CreateVideoInputEnumerator(inputs) != S_OK) {
    std::printf("no video input\n");
    return 0;
  }
  std::unique_ptr<fcp::os::DeviceMoniker> moniker;
  for (int index = 0; inputs->Next(moniker) == S_OK; ++index) {
    std::unique_ptr<fcp::os::PropertyBag> bag;
    std::wstring device_path, friendly_name;
    if (moniker->BindToStorage(bag) != S_OK || bag->Read(kFriendlyNameProperty, friendly_name) != S_OK) {
      std::fprintf(stderr, "fcp-camera-setup: video input %d has no name\n", index);
      return 1;
    }
    const bool has_path = bag->Read(kDevicePathProperty, device_path) == S_OK;
    wchar_t name[64];
    std::swprintf(name, std::size(name), L"%ls%02d", kInstancePrefix, index);
    Key instance;
    if (instance.Create(kInstances + L"\\" + name) != ERROR_SUCCESS ||
        instance.SetText(L"CLSID", kVirtualCameraClsidText) != ERROR_SUCCESS ||
        instance.SetText(kFriendlyNameProperty, friendly_name) != ERROR_SUCCESS ||
        instance.SetText(kScenarioProperty, scenario_path) != ERROR_SUCCESS ||
        (has_path && instance.SetText(kDevicePathProperty, device_path) != ERROR_SUCCESS)) {
      std::fprintf(stderr, "fcp-camera-setup: video input %d cannot be registered\n", index);
      return 1;
    }
    std::printf("%ls: %ls %ls\n", name, friendly_name.c_str(), has_path ? device_path.c_str() : L"(no device path)");
  }
  return 0;
}
