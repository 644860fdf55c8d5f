// The current camera's device properties: registry values of its device key, device name, location
// information, IDs and revision, the sensor-camera mark, and the device identifier.
#include <array>

#include "os/device_registry.h"
#include "os/port.h"
#include "text/ascii_case.h"
#include "text/registry_text.h"
#include "uvc/current_camera.h"
#include "uvc/device_text.h"
#include "uvc/device_values.h"
#include "uvc/uvc.h"

using fcp::os::DeviceRegistry;
using fcp::os::RegistryKey;
using fcp::uvc::Camera;

namespace {

constexpr wchar_t kEnumKey[] = L"SYSTEM\\ControlSet001\\Enum\\";
// Registry string values are read into a buffer of this many bytes; a larger value is not read.
constexpr uint32_t kValueBufferSize = 260;

// Queries one value of a device's key (or of its subkey) into `data`; `size` is the buffer's size on
// entry and the value's on return. Nonzero when the query returned ERROR_SUCCESS.
bool QueryDeviceValue(const std::wstring& device_id, const wchar_t* sub_key, const wchar_t* name, uint8_t* data,
                      uint32_t& size) {
  auto* registry = fcp::os::InstalledPort<DeviceRegistry>();
  if (registry == nullptr || device_id.empty()) return false;
  std::wstring path = kEnumKey + device_id;
  if (sub_key != nullptr) path += sub_key;
  RegistryKey key = 0;
  if (registry->OpenKey(fcp::os::RegistryRoot::kLocalMachine, path.c_str(), 0, fcp::os::kRegistryKeyRead,
                        key) != ERROR_SUCCESS) {
    return false;
  }
  const LONG result = registry->QueryValue(key, name, nullptr, data, size);
  registry->CloseKey(key);
  return result == ERROR_SUCCESS;
}

}  // namespace

bool fcp::uvc::ReadDeviceValue(const std::wstring& device_id, const wchar_t* value_name, std::wstring& text) {
  if (value_name == nullptr) return false;
  std::array<uint8_t, kValueBufferSize> buffer{};
  uint32_t size = kValueBufferSize;
  if (!QueryDeviceValue(device_id, nullptr, value_name, buffer.data(), size)) return false;
  // The value's type is not examined: whatever it holds is read as text up to the first NUL.
  text = fcp::text::TextFromRegistryBytes(buffer.data(), std::min<size_t>(size, buffer.size()));
  return true;
}

int UVC_ReadDeviceRegValue(const wchar_t* value_name, std::wstring& text) {
  return fcp::uvc::ReadDeviceValue(Camera().device_id, value_name, text) ? 1 : 0;
}

int UVC_IsSensorCamera() {
  // Only whether the value exists matters, not what it holds.
  std::array<uint8_t, 4> buffer{};
  uint32_t size = buffer.size();
  return QueryDeviceValue(Camera().device_id, L"\\Device Parameters", L"SensorCameraMode", buffer.data(), size) ? 1 : 0;
}

int UVC_GetDeviceName(std::wstring& name) {
  std::wstring hardware_id;
  if (!UVC_ReadDeviceRegValue(L"HardwareID", hardware_id)) return 0;
  auto trimmed = fcp::uvc::DeviceNameFromHardwareId(hardware_id);
  if (!trimmed) return 0;
  name = std::move(*trimmed);
  return 1;
}

int UVC_GetLocationInfo(std::wstring& location) {
  if (Camera().device_id.empty()) return 0;
  std::wstring location_information;
  if (!UVC_ReadDeviceRegValue(L"LocationInformation", location_information)) return 0;
  location = fcp::uvc::LocationTail(location_information);
  return 1;
}

int UVC_GetVidPidRev(uint16_t& vid, uint16_t& pid, uint16_t& rev) {
  if (Camera().device_id.empty()) return 0;
  std::wstring& device_path = Camera().device_path;
  device_path = fcp::text::UpperAscii(std::move(device_path));
  // A field without digits (or without its key) reads as the number 0, as an empty number does.
  vid = fcp::uvc::HexFieldAfter(device_path, L"VID_", 4).value_or(0);
  pid = fcp::uvc::HexFieldAfter(device_path, L"PID_", 4).value_or(0);
  std::wstring hardware_id;
  if (!UVC_ReadDeviceRegValue(L"HardwareID", hardware_id)) return 0;
  rev = fcp::uvc::DecimalFieldAfter(hardware_id, L"REV_").value_or(0);
  return 1;
}

int UVC_GetDeviceId(std::wstring& device_id) {
  if (Camera().device_id.empty()) return 0;
  device_id = Camera().device_id;
  return 1;
}
