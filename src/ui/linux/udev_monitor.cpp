#include "ui/linux/udev_monitor.h"

#include <libudev.h>

#include <cstring>

namespace fcp::ui {

std::unique_ptr<UdevMonitor> UdevMonitor::Open() {
  std::unique_ptr<UdevMonitor> monitor(new UdevMonitor);
  monitor->udev_ = udev_new();
  if (!monitor->udev_) return nullptr;
  monitor->monitor_ = udev_monitor_new_from_netlink(monitor->udev_, "udev");
  if (!monitor->monitor_) return nullptr;
  if (udev_monitor_filter_add_match_subsystem_devtype(monitor->monitor_, "usb", "usb_device") < 0 ||
      udev_monitor_enable_receiving(monitor->monitor_) < 0)
    return nullptr;
  return monitor;
}

UdevMonitor::~UdevMonitor() {
  if (monitor_) udev_monitor_unref(monitor_);
  if (udev_) udev_unref(udev_);
}

int UdevMonitor::Fd() const { return udev_monitor_get_fd(monitor_); }

WPARAM UdevMonitor::ReadEvent() {
  udev_device* device = udev_monitor_receive_device(monitor_);
  if (!device) return 0;
  const char* action = udev_device_get_action(device);
  WPARAM event = 0;
  if (action && std::strcmp(action, "add") == 0) event = DBT_DEVICEARRIVAL;
  if (action && std::strcmp(action, "remove") == 0) event = DBT_DEVICEREMOVECOMPLETE;
  udev_device_unref(device);
  return event;
}

}  // namespace fcp::ui
