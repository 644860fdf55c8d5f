// Vendor control requests on the open DFU connection.
#include <libusb.h>

#include "dfu/connection.h"
#include "dfu/dfu.h"
#include "dfu/passthrough_route.h"
#include "dfu/interface_list.h"

namespace {

constexpr unsigned kVendorRequestTimeoutMs = 1000;
constexpr uint8_t kVendorIn = 0xC0;   // device-to-host, vendor, device
constexpr uint8_t kVendorOut = 0x40;  // host-to-device, vendor, device

int g_last_transfer_length = 0;

// Success is any result of 0 or more: a short transfer succeeds, and its true length is kept.
int Transfer(uint8_t request_type, uint8_t bRequest, uint16_t wValue, uint16_t wIndex, uint8_t* buffer,
             uint16_t length) {
  if (fcp::dfu::Connection().pass_through_mode) {
    // The same request as a request block through the pass-through driver; its moved byte count
    // comes back from the block, so a short transfer shows here as it does through libusb.
    g_last_transfer_length = fcp::dfu::PassThroughVendorRequest((request_type & 0x80) != 0, bRequest, wValue, wIndex,
                                                              buffer, length, kVendorRequestTimeoutMs);
    if (g_last_transfer_length < 0) g_last_transfer_length = LIBUSB_ERROR_IO;
    return g_last_transfer_length >= 0 ? 1 : 0;
  }
  const DfuInterface* head = DFU_InterfaceListHead();
  if (head == nullptr || head->handle == nullptr) {
    g_last_transfer_length = LIBUSB_ERROR_NO_DEVICE;
    return 0;
  }
  g_last_transfer_length = libusb_control_transfer(head->handle, request_type, bRequest, wValue, wIndex, buffer,
                                                 length, kVendorRequestTimeoutMs);
  return g_last_transfer_length >= 0 ? 1 : 0;
}

}  // namespace

int DFU_Vendorreqget(uint8_t bRequest, uint16_t wValue, uint16_t wIndex, uint8_t* buffer, uint16_t length) {
  return Transfer(kVendorIn, bRequest, wValue, wIndex, buffer, length);
}

int DFU_Vendorreqset(uint8_t bRequest, uint16_t wValue, uint16_t wIndex, const uint8_t* buffer,
                     uint16_t length) {
  // libusb takes one buffer type for both directions; it only reads from it on the way out.
  return Transfer(kVendorOut, bRequest, wValue, wIndex, const_cast<uint8_t*>(buffer), length);
}

int DFU_LastTransferLength() { return g_last_transfer_length; }
