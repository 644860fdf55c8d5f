// Text helpers of the camera layer: fixed-size UTF-16 fields and device properties read as text.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "os/device_setup.h"
#include "passthrough/kvcam.h"

namespace fcp::passthrough {

// Device instance IDs are read through a buffer of this many characters.
inline constexpr DWORD kDeviceIdChars = 200;

// Reads a device node's instance ID whole. CR_SUCCESS only with a complete, non-empty ID; otherwise
// the configuration manager's result (a cut ID counts as CR_BUFFER_SMALL, an empty one as
// CR_INVALID_DEVICE_ID) and an empty buffer. An empty enumerator would select every device of a class.
os::ConfigRet ReadDeviceId(os::DeviceSetup& setup, os::DevInst node, wchar_t (&id)[kDeviceIdChars]);

// Copies `text` into a field, cut to the field's size less its terminating NUL.
void CopyText(std::wstring_view text, wchar_t (&field)[kKvCamTextChars]);

// Reads a string property of a device into a field: the property's bytes up to the field's size
// (260 UTF-16 units), the text up to its first NUL. False with the port's last error when the read fails.
bool ReadTextProperty(os::DeviceSetup& setup, os::DeviceInfoSet set, const os::DeviceInfoData& device,
                      DWORD property, wchar_t (&field)[kKvCamTextChars]);

}  // namespace fcp::passthrough
