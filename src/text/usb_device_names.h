// The names the platform gives a USB device and its interfaces, and the location text both sides of
// the tool find a device by. The DFU side, the camera side, the Linux adapters that stand in for the
// platform and the virtual workstation all build them here, so a device has one identity everywhere.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "text/guid.h"

namespace fcp::text {

inline constexpr size_t kLocationLevels = 6;
inline constexpr size_t kLocationTextLength = 23;  // six levels of three digits, five dots
inline constexpr size_t kUsbDeviceNameLength = 26;

// The first six hub ports from the root hub down, three digits each, joined by '.': missing levels
// read 000, deeper levels are left out ({1, 3} -> "001.003.000.000.000.000").
void FormatUsbLocation(std::span<const uint8_t> ports, char (&text)[kLocationTextLength + 1]);
std::string UsbLocationText(std::span<const uint8_t> ports);

// "VID_vvvv&PID_pppp&REV_rrrr" in upper-case hexadecimal.
void FormatUsbDeviceName(uint16_t vendor_id, uint16_t product_id, uint16_t bcdDevice,
                         char (&text)[kUsbDeviceNameLength + 1]);

// The LocationInformation value: the host controller's address as the platform names it, '.', and
// the location text ("0000.0014.0000" and {1, 3} -> "0000.0014.0000.001.003.000.000.000.000").
std::wstring UsbLocationInformation(std::wstring_view host_controller, std::span<const uint8_t> ports);

// The device instance ID of a whole device: USB\VID_vvvv&PID_pppp\<instance>.
std::wstring UsbDeviceInstanceId(uint16_t vendor_id, uint16_t product_id, std::wstring_view instance);
// The device instance ID of one interface of a composite device: USB\VID_vvvv&PID_pppp&MI_ii\<instance>.
std::wstring UsbInterfaceInstanceId(uint16_t vendor_id, uint16_t product_id, uint8_t interface_number,
                                    std::wstring_view instance);

// The hardware IDs, the most specific first: USB\VID_vvvv&PID_pppp&REV_rrrr and USB\VID_vvvv&PID_pppp,
// each followed by &MI_ii for an interface of a composite device.
std::vector<std::wstring> UsbHardwareIds(uint16_t vendor_id, uint16_t product_id, uint16_t bcdDevice,
                                         std::optional<uint8_t> interface_number);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case.
std::wstring GuidText(const text::Guid& guid);

// The path of a device interface: \\?\ and the instance ID with '#' for '\', '#', the interface
// class; all in lower case. The kernel-streaming categories' paths end in \global.
std::wstring DeviceInterfacePath(std::wstring_view instance_id, const text::Guid& interface_class, bool kernel_streaming);
// The path of a camera's capture interface, as the video input devices report it.
std::wstring CaptureInterfacePath(std::wstring_view instance_id);

}  // namespace fcp::text
