// What the simulated kernel needs from a USB device: answers to control transfers on its default
// pipe. Virtual workstation devices and small test devices implement it.
#pragma once
#include <cstdint>

namespace fcp::sim {

struct SetupPacket {
  uint8_t request_type = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
  bool IsIn() const { return (request_type & 0x80) != 0; }
};

struct ControlAnswer {
  enum Kind { kDone, kStall, kNoAnswer } kind = kDone;
  uint32_t length = 0;      // bytes transferred (kDone)
  uint32_t latency_ms = 0;  // time the device takes to answer
};

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;
  // `data` holds setup.length bytes: filled by the device for an IN request, read for an OUT request.
  virtual ControlAnswer ControlTransfer(const SetupPacket& setup, uint8_t* data) = 0;
};

}  // namespace fcp::sim
