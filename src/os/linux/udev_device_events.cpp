#include "os/linux/udev_device_events.h"

#include <libudev.h>

#include <cstring>

namespace fcp::os {
namespace {

// One monitor of the "usb_device" devices: "add" is an arrival, "remove" a removal. The event's
// device is not passed on (the dialog never examines it).
class UdevMonitor final : public DeviceEventSource {
 public:
  static std::unique_ptr<UdevMonitor> Open() {
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

  ~UdevMonitor() override {
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
  }

  int Fd() const override { return udev_monitor_get_fd(monitor_); }

  DeviceEvent ReadEvent() override {
    udev_device* device = udev_monitor_receive_device(monitor_);
    if (!device) return DeviceEvent::kOther;
    const char* action = udev_device_get_action(device);
    DeviceEvent event = DeviceEvent::kOther;
    if (action && std::strcmp(action, "add") == 0) event = DeviceEvent::kArrival;
    if (action && std::strcmp(action, "remove") == 0) event = DeviceEvent::kRemoval;
    udev_device_unref(device);
    return event;
  }

 private:
  UdevMonitor() = default;
  struct udev* udev_ = nullptr;
  struct udev_monitor* monitor_ = nullptr;
};

class Udev final : public DeviceEvents {
 public:
  std::unique_ptr<DeviceEventSource> Open() override { return UdevMonitor::Open(); }
};

}  // namespace

DeviceEvents& UdevDeviceEvents() {
  static Udev udev;
  return udev;
}

}  // namespace fcp::os
