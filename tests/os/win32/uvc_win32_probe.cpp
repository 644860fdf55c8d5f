// The camera side's Windows adapters against a real registry and system device enumerator (run
// under Wine by scripts/test.d): device keys written here are read back through the registry
// adapter by the camera side's own operations, with the 260-byte rule, multi-strings and the
// sensor mark; the DirectShow enumerator of a machine without cameras gives no camera.
// Prints "all checks passed" and exits 0 when every check holds.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "os/device_registry.h"
#include "os/port.h"
#include "os/video_inputs.h"
#include "os/win32/device_registry_win32.h"
#include "os/win32/video_inputs_win32.h"
#include "uvc/current_camera.h"
#include "uvc/uvc.h"

namespace {

int g_failures = 0;

void Check(bool condition, const char* what) {
  std::printf("%s: %s\n", condition ? "ok  " : "FAIL", what);
  if (!condition) ++g_failures;
}

constexpr wchar_t kDeviceKey[] = L"SYSTEM\\ControlSet001\\Enum\\USB\\VID_FC01&PID_0A01&MI_00\\6&PROBE&0&0000";

bool SetString(HKEY key, const wchar_t* name, DWORD type, const std::wstring& data) {
  return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                        static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool SeedDeviceKey() {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDeviceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  bool ok = SetString(key, L"LocationInformation", REG_SZ, L"0000.0014.0000.001.003.000.000.000.000");
  // A multi-string: two strings, then the empty one (the data's own terminator).
  ok = ok && SetString(key, L"HardwareID", REG_MULTI_SZ,
                       std::wstring(L"USB\\VID_FC01&PID_0A01&REV_0100&MI_00") + L'\0' + L"USB\\VID_FC01&PID_0A01&MI_00" + L'\0');
  // 129 characters and the NUL fill the 260-byte buffer exactly; 130 do not fit.
  ok = ok && SetString(key, L"Fits", REG_SZ, std::wstring(106, L'x') + L"001.002.000.000.000.000");
  ok = ok && SetString(key, L"TooLong", REG_SZ, std::wstring(107, L'x') + L"001.002.000.000.000.000");
  RegCloseKey(key);
  HKEY parameters = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kDeviceKey) + L"\\Device Parameters").c_str(), 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &parameters, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const DWORD mode = 1;
  ok = ok && RegSetValueExW(parameters, L"SensorCameraMode", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mode),
                            sizeof mode) == ERROR_SUCCESS;
  RegCloseKey(parameters);
  return ok;
}

}  // namespace

int main() {
  fcp::os::ScopedPort<fcp::os::DeviceRegistry> registry(&fcp::os::win32::Win32DeviceRegistry());
  fcp::os::ScopedPort<fcp::os::VideoInputs> video_inputs(&fcp::os::win32::DirectShowVideoInputs());

  Check(SeedDeviceKey(), "device key written");
  // The identifier the camera side derives from \\?\usb#vid_fc01&pid_0a01&mi_00#6&probe&0&0000#{...}\global.
  fcp::uvc::Camera().device_id = L"usb\\vid_fc01&pid_0a01&mi_00\\6&probe&0&0000";
  std::wstring text;
  Check(UVC_GetLocationInfo(text) && text == L"001.003.000.000.000.000", "location information, last 23 characters");
  Check(UVC_GetDeviceName(text) && text == L"VID_FC01&PID_0A01&REV_0100", "device name from the first hardware ID");
  Check(UVC_ReadDeviceRegValue(L"Fits", text) && text.size() == 129, "a value of 260 bytes is read");
  Check(!UVC_ReadDeviceRegValue(L"TooLong", text), "a value of 262 bytes is not");
  Check(!UVC_ReadDeviceRegValue(L"Missing", text), "a missing value is not");
  Check(UVC_IsSensorCamera() != 0, "SensorCameraMode marks a sensor camera");
  fcp::uvc::Camera().device_id = L"usb\\vid_fc01&pid_0a01&mi_00\\6&absent&0&0000";
  Check(!UVC_GetLocationInfo(text) && !UVC_IsSensorCamera(), "a missing device key");
  UVC_Close();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kDeviceKey);

  // No camera on this machine: the system device enumerator gives none, whatever way it says so.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  Check(SUCCEEDED(com), "COM initialised");
  std::unique_ptr<fcp::os::MonikerEnumerator> enumerator;
  const HRESULT created = fcp::os::win32::DirectShowVideoInputs().CreateVideoInputEnumerator(enumerator);
  std::printf("video input enumerator: 0x%08lX\n", static_cast<unsigned long>(created));
  Check(UVC_GetDeviceCount() == 0, "no video input device");
  Check(!UVC_OpenDefault() && !UVC_OpenByLocationInfo(L"001.003.000.000.000.000"), "no selection");
  if (SUCCEEDED(com)) CoUninitialize();

  if (g_failures == 0) std::printf("all checks passed\n");
  return g_failures == 0 ? 0 : 1;
}
