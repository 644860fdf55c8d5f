#include "sim/kernel/workstation_pipe.h"

#include <chrono>

namespace fcp::sim::kernel {

ControlAnswer WorkstationPipe::ControlTransfer(const SetupPacket& setup, uint8_t* data) {
  const auto latency = device_->latency.value_or(workstation_.DefaultLatency());
  const auto latency_ms = static_cast<uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(latency).count());
  if (device_->TakeNotReadyAnswer()) return {ControlAnswer::kNotReady, 0, 0};
  // The kernel's own clock decides timeouts: the workstation is asked without a limit.
  const TransferResult result = workstation_.ControlTransfer(*device_, setup, std::span<uint8_t>(data, setup.wLength));
  switch (result.status) {
    case TransferStatus::kOk:
      return {ControlAnswer::kDone, static_cast<uint32_t>(result.transferred), latency_ms};
    case TransferStatus::kTimeout:
      return {ControlAnswer::kNoAnswer, 0, 0};
    case TransferStatus::kStall:
    case TransferStatus::kNoDevice:
      break;
  }
  return {ControlAnswer::kStall, 0, latency_ms};
}

}  // namespace fcp::sim::kernel
