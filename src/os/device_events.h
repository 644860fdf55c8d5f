// USB devices coming and going: a source of events that can be waited on, and the port that opens
// one for each watcher. On Windows the window manager delivers these to the window itself (device
// notifications), so there is no Windows implementation; Linux reads libudev, the virtual
// workstation its own device changes.
#pragma once
#include <memory>

namespace fcp::os {

enum class DeviceEvent {
  kOther,    // an event that is neither (a device changed, or the read found nothing)
  kArrival,  // a USB device was plugged in
  kRemoval,  // a USB device was unplugged
};

class DeviceEventSource {
 public:
  virtual ~DeviceEventSource() = default;
  // The descriptor to wait on: readable while an event is waiting.
  virtual int Fd() const = 0;
  // Reads one waiting event.
  virtual DeviceEvent ReadEvent() = 0;
};

class DeviceEvents {
 public:
  // Opens a source for one watcher, which receives every event from then on; nullptr when no
  // events can be received.
  virtual std::unique_ptr<DeviceEventSource> Open() = 0;

 protected:
  ~DeviceEvents() = default;
};

}  // namespace fcp::os
