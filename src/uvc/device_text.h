// The text rules of camera identification: reading device paths, hardware IDs and location
// information (text/ builds them). Pure functions; every one is safe on short or malformed input.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "text/usb_device_names.h"

namespace fcp::uvc {

// Location information is the location text at the end of "LocationInformation".
inline constexpr size_t kLocationLength = text::kLocationTextLength;

// The registry key name of a device from its DevicePath: the text before the last '#' (nothing when
// there is none), from the first "usb" on (case-sensitive; all of it when "usb" does not occur),
// with every '#' turned into '\'. \\?\usb#vid_1&pid_2&mi_00#inst#{class}\global -> usb\vid_1&pid_2&mi_00\inst
std::wstring DeviceIdFromPath(std::wstring_view device_path);

// The last kLocationLength characters (the whole text when it is shorter).
std::wstring_view LocationTail(std::wstring_view location_information);

// Up to `width` hexadecimal digits starting `offset` characters after the first `key`, read until
// the first non-hex character and cut to 16 bits. None when the key is missing or no digit is there.
std::optional<uint16_t> HexFieldAfter(std::wstring_view text, std::wstring_view key, size_t offset,
                                      size_t width = 4);

// Up to four decimal digits right after the first `key`, read until the first non-digit ("010A"
// gives 10). None when the key is missing or no digit follows it.
std::optional<uint16_t> DecimalFieldAfter(std::wstring_view text, std::wstring_view key);

// The device name from a hardware identifier: without its first 4 and last 6 characters
// (USB\VID_1234&PID_5678&REV_0100&MI_00 -> VID_1234&PID_5678&REV_0100). None when it is shorter
// than the ten characters removed.
std::optional<std::wstring> DeviceNameFromHardwareId(std::wstring_view hardware_id);

}  // namespace fcp::uvc
