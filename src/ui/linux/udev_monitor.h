// USB device arrival and removal from libudev: DBT_DEVICEARRIVAL when a USB device is added,
// DBT_DEVICEREMOVECOMPLETE when one is removed. The event data is not passed on (the dialog never
// examines it).
#pragma once
#include <memory>

#include "ui/linux/device_events.h"

struct udev;
struct udev_monitor;

namespace fcp::ui {

class UdevMonitor final : public DeviceEventSource {
 public:
  // Opens the monitor: nullptr when the system's device events cannot be received.
  static std::unique_ptr<UdevMonitor> Open();
  ~UdevMonitor() override;

  int Fd() const override;
  WPARAM ReadEvent() override;

 private:
  UdevMonitor() = default;
  struct udev* udev_ = nullptr;
  struct udev_monitor* monitor_ = nullptr;
};

}  // namespace fcp::ui
