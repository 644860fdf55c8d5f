// What travels on the wire of a virtual device's default control pipe.
#pragma once
#include <array>
#include <cstdint>

namespace fcp::sim {

// The 8-byte setup packet of a control transfer, fields in host order.
struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;

  bool IsDeviceToHost() const { return (bmRequestType & 0x80) != 0; }
  // The packet as it appears on the wire (16-bit fields little-endian).
  std::array<uint8_t, 8> Bytes() const {
    return {bmRequestType,
            bRequest,
            static_cast<uint8_t>(wValue),
            static_cast<uint8_t>(wValue >> 8),
            static_cast<uint8_t>(wIndex),
            static_cast<uint8_t>(wIndex >> 8),
            static_cast<uint8_t>(wLength),
            static_cast<uint8_t>(wLength >> 8)};
  }
  static SetupPacket FromBytes(const uint8_t* b) {
    return {b[0], b[1], static_cast<uint16_t>(b[2] | b[3] << 8), static_cast<uint16_t>(b[4] | b[5] << 8),
            static_cast<uint16_t>(b[6] | b[7] << 8)};
  }
  friend bool operator==(const SetupPacket&, const SetupPacket&) = default;
};

// How a control transfer ended.
enum class TransferStatus {
  kOk,        // completed; `transferred` bytes moved in the data stage
  kStall,     // the device stalled the request (libusb: LIBUSB_ERROR_PIPE)
  kNoDevice,  // the device is gone (libusb: LIBUSB_ERROR_NO_DEVICE)
  kTimeout,   // no answer within the caller's time limit (libusb: LIBUSB_ERROR_TIMEOUT)
};

struct TransferResult {
  TransferStatus status = TransferStatus::kOk;
  int transferred = 0;

  bool Ok() const { return status == TransferStatus::kOk; }
  static TransferResult Ok(int n) { return {TransferStatus::kOk, n}; }
  static TransferResult Stall() { return {TransferStatus::kStall, 0}; }
};

}  // namespace fcp::sim
