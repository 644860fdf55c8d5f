// A virtual workstation device as seen by the simulated kernel: its control transfers go through
// Workstation::ControlTransfer, so the workstation's faults, latency and wire trace apply.
#pragma once
#include <memory>

#include "sim/kernel/control_pipe.h"
#include "sim/workstation.h"

namespace fcp::sim::kernel {

class WorkstationPipe final : public ControlPipe {
 public:
  WorkstationPipe(Workstation& workstation, std::shared_ptr<UsbDevice> device)
      : workstation_(workstation), device_(std::move(device)) {}
  ControlAnswer ControlTransfer(const SetupPacket& setup, uint8_t* data) override;

 private:
  Workstation& workstation_;
  std::shared_ptr<UsbDevice> device_;
};

}  // namespace fcp::sim::kernel
