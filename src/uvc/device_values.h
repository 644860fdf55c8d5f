// Registry values of a camera's device key, for any device identifier (the UVC_ operations read those
// of the current camera).
#pragma once
#include <string>

namespace fcp::uvc {

// One value of the device key "SYSTEM\ControlSet001\Enum\<device_id>", read as UVC_ReadDeviceRegValue
// reads it (at most 260 bytes, text up to the first NUL). False when the key or value cannot be read.
bool ReadDeviceValue(const std::wstring& device_id, const wchar_t* value_name, std::wstring& text);

}  // namespace fcp::uvc
