// USB device arrival and removal, as the Win32 device notifications of the USB device interface
// class reach the dialog: from a source that can be waited on, the system's (libudev) or, for the
// virtual-workstation runner, the workstation's own.
#pragma once
#include <functional>
#include <memory>

#include "ui/win_ui_types.h"

namespace fcp::ui {

class DeviceEventSource {
 public:
  virtual ~DeviceEventSource() = default;
  // The descriptor to wait on: readable while an event is waiting.
  virtual int Fd() const = 0;
  // Reads one waiting event: DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE, or 0 for any other.
  virtual WPARAM ReadEvent() = 0;
};

// Opens the source for one device registration; nullptr when no events can be received.
using DeviceEventSourceFactory = std::function<std::unique_ptr<DeviceEventSource>()>;

// Reads a source on a thread of its own and calls `callback` there with every arrival and removal.
// Destroying it ends the thread at once: its wait includes a wake-up descriptor, so no time-out
// stands between the dialog's end and the process's.
class DeviceEventThread {
 public:
  using Callback = std::function<void(WPARAM event)>;
  // nullptr when the thread or its wake-up descriptor cannot be made.
  static std::unique_ptr<DeviceEventThread> Start(std::unique_ptr<DeviceEventSource> source, Callback callback);
  ~DeviceEventThread();
  DeviceEventThread(const DeviceEventThread&) = delete;
  DeviceEventThread& operator=(const DeviceEventThread&) = delete;

 private:
  DeviceEventThread() = default;
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace fcp::ui
