// The virtual workstation's implementation of the device-event port: every device plugged in or
// out becomes an arrival or a removal. Devices change by the scenario's timed events, which each
// opened source plays from the moment it opens (the dialog registers for notifications while it
// opens), and by disconnect faults.
#pragma once
#include <memory>
#include <vector>

#include "os/device_events.h"
#include "sim/scenario.h"
#include "sim/workstation.h"

namespace fcp::sim {

class WorkstationDeviceEvents final : public os::DeviceEvents {
 public:
  WorkstationDeviceEvents(std::shared_ptr<Workstation> workstation, std::vector<DeviceEvent> events)
      : workstation_(std::move(workstation)), events_(std::move(events)) {}

  // nullptr when the source's pipe or thread cannot be made.
  std::unique_ptr<os::DeviceEventSource> Open() override;

 private:
  std::shared_ptr<Workstation> workstation_;
  std::vector<DeviceEvent> events_;
};

}  // namespace fcp::sim
