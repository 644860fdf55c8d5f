// Reads a device-event source on a thread of its own, for a watcher without a loop that waits on
// descriptors (the headless dialog, probes).
#pragma once
#include <functional>
#include <memory>

#include "os/device_events.h"

namespace fcp::os {

// Calls `callback` on its thread with every arrival and removal. Destroying it ends the thread at
// once: its wait includes a wake-up descriptor, so no time-out stands between the watcher's end and
// the process's.
class DeviceEventThread {
 public:
  using Callback = std::function<void(DeviceEvent event)>;
  // nullptr when there is no source, or the thread or its wake-up descriptor cannot be made.
  static std::unique_ptr<DeviceEventThread> Start(std::unique_ptr<DeviceEventSource> source, Callback callback);
  ~DeviceEventThread();
  DeviceEventThread(const DeviceEventThread&) = delete;
  DeviceEventThread& operator=(const DeviceEventThread&) = delete;

 private:
  DeviceEventThread() = default;
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace fcp::os
