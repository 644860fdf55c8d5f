// The virtual workstation's USB device events, as the tool's device registration receives them:
// every device plugged in or out becomes an arrival or a removal notification. Devices change by
// the scenario's timed events, which this source plays from the moment it opens (the dialog
// registers for notifications while it opens), and by disconnect faults.
#pragma once
#include <memory>
#include <thread>
#include <vector>

#include "sim/scenario.h"
#include "sim/workstation.h"
#include "ui/linux/device_events.h"

namespace fcp::sim {

class WorkstationDeviceEvents final : public ui::DeviceEventSource {
 public:
  // nullptr when the source's pipe or thread cannot be made.
  static std::unique_ptr<WorkstationDeviceEvents> Open(std::shared_ptr<Workstation> workstation,
                                                       std::vector<DeviceEvent> events);
  ~WorkstationDeviceEvents() override;

  int Fd() const override;
  WPARAM ReadEvent() override;

 private:
  WorkstationDeviceEvents() = default;
  struct Queue;
  std::shared_ptr<Workstation> workstation_;
  std::shared_ptr<Queue> queue_;  // shared with the workstation's listener, which may outlive this
  std::thread player_;
};

}  // namespace fcp::sim
