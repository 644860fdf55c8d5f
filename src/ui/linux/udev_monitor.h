// USB device arrival and removal from libudev, as the Win32 device notifications of the USB device
// interface class: DBT_DEVICEARRIVAL when a USB device is added, DBT_DEVICEREMOVECOMPLETE when one is
// removed. The event data is not passed on (the dialog never examines it).
#pragma once
#include <functional>
#include <memory>

#include "ui/win_ui_types.h"

struct udev;
struct udev_monitor;

namespace fcp::ui {

class UdevMonitor {
 public:
  using Callback = std::function<void(WPARAM event)>;

  // Opens the monitor: nullptr when the system's device events cannot be received.
  static std::unique_ptr<UdevMonitor> Open();
  // Opens the monitor and reads it on a thread of its own, calling `callback` there.
  static std::unique_ptr<UdevMonitor> Start(Callback callback);
  ~UdevMonitor();

  // The descriptor to wait on (readable when an event is waiting).
  int Fd() const;
  // Reads one waiting event: DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE, or 0 for any other.
  WPARAM ReadEvent();

 private:
  UdevMonitor() = default;
  struct Thread;
  struct udev* udev_ = nullptr;
  struct udev_monitor* monitor_ = nullptr;
  std::unique_ptr<Thread> thread_;
};

}  // namespace fcp::ui
