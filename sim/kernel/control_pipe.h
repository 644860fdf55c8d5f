// What the simulated kernel needs from a USB device: answers to control transfers on its default
// pipe, each with the time the device takes. Small test devices implement it directly; the virtual
// workstation's devices are plugged in through WorkstationPipe (workstation_pipe.h).
#pragma once
#include <cstdint>

#include "sim/usb_types.h"

namespace fcp::sim::kernel {

using fcp::sim::SetupPacket;

struct ControlAnswer {
  // kNotReady: the stack fails the request "device not ready" before it reaches the device.
  enum Kind { kDone, kStall, kNoAnswer, kNotReady } kind = kDone;
  uint32_t length = 0;      // bytes transferred (kDone)
  uint32_t latency_ms = 0;  // time the device takes to answer
};

class ControlPipe {
 public:
  virtual ~ControlPipe() = default;
  // `data` holds setup.wLength bytes: filled by the device for an IN request, read for an OUT request.
  virtual ControlAnswer ControlTransfer(const SetupPacket& setup, uint8_t* data) = 0;
};

}  // namespace fcp::sim::kernel
