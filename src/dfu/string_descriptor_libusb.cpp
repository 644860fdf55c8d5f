#include <libusb.h>

#include "dfu/string_descriptor.h"

int DFU_GetStringAscii(libusb_device_handle* handle, uint8_t index, char* text) {
  auto request = [handle](uint16_t value, uint16_t language_id, uint8_t* data) {
    return libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, value, language_id,
                                   data, fcp::dfu::kStringRequestLength, 1000);
  };
  return fcp::dfu::ReadStringAscii(request, index, text);
}
