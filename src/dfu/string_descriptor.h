// Reading a USB string descriptor as ASCII text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

struct libusb_device_handle;

namespace fcp::dfu {

inline constexpr std::size_t kStringTextSize = 254;  // room DFU_GetStringAscii's callers provide
inline constexpr uint16_t kStringRequestLength = 255;

// One GET_DESCRIPTOR(string) request: wValue, wIndex, a buffer of kStringRequestLength bytes. Returns
// libusb's result: the number of bytes received, or a negative error.
using StringDescriptorRequest = std::function<int(uint16_t value, uint16_t index, uint8_t* data)>;

// The exchange behind DFU_GetStringAscii, over any transport: the language list, then the string in
// the first language, converted to ASCII ("?" for characters outside it) into `text`
// (kStringTextSize bytes, always terminated on success). Returns the number of characters, or a
// negative value with a diagnostic.
int ReadStringAscii(const StringDescriptorRequest& request, uint8_t index, char* text);

}  // namespace fcp::dfu

// ReadStringAscii over an open libusb handle (timeout 1000 ms per request).
int DFU_GetStringAscii(libusb_device_handle* handle, uint8_t index, char* text);
