#include "ui/backend.h"

#include "os/port.h"

namespace fcp::ui {

WPARAM DeviceChangeOf(os::DeviceEvent event) {
  switch (event) {
    case os::DeviceEvent::kArrival: return DBT_DEVICEARRIVAL;
    case os::DeviceEvent::kRemoval: return DBT_DEVICEREMOVECOMPLETE;
    case os::DeviceEvent::kOther: break;
  }
  return 0;
}

Backend* CurrentBackend() { return os::InstalledPort<Backend>(); }
Backend* InstallBackend(Backend* backend) { return os::InstallPort<Backend>(backend); }

}  // namespace fcp::ui
