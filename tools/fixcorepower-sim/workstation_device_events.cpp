#include "workstation_device_events.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace fcp::sim {
namespace {

// The events waiting to be read, and the pipe that makes them visible to a poll. It also holds the
// player's stop request.
struct Queue {
  std::mutex mutex;
  std::condition_variable stop_changed;
  bool stop = false;
  std::deque<os::DeviceEvent> pending;
  int read_end = -1;
  int write_end = -1;

  ~Queue() {
    if (read_end >= 0) close(read_end);
    if (write_end >= 0) close(write_end);
  }

  void Push(os::DeviceEvent event) {
    std::lock_guard lock(mutex);
    pending.push_back(event);
    const char byte = 1;
    while (write(write_end, &byte, 1) < 0 && errno == EINTR) {
    }
  }
};

class WorkstationDeviceEventSource final : public os::DeviceEventSource {
 public:
  static std::unique_ptr<WorkstationDeviceEventSource> Open(std::shared_ptr<Workstation> workstation,
                                                            std::vector<DeviceEvent> events);
  ~WorkstationDeviceEventSource() override;

  int Fd() const override { return queue_->read_end; }
  os::DeviceEvent ReadEvent() override;

 private:
  WorkstationDeviceEventSource() = default;
  std::shared_ptr<Workstation> workstation_;
  std::shared_ptr<Queue> queue_;  // shared with the workstation's listener, which may outlive this
  std::thread player_;
};

std::unique_ptr<WorkstationDeviceEventSource> WorkstationDeviceEventSource::Open(
    std::shared_ptr<Workstation> workstation, std::vector<DeviceEvent> events) {
  std::unique_ptr<WorkstationDeviceEventSource> self(new WorkstationDeviceEventSource);
  self->workstation_ = std::move(workstation);
  self->queue_ = std::make_shared<Queue>();
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return nullptr;
  self->queue_->read_end = ends[0];
  self->queue_->write_end = ends[1];

  // Every change of a device's connection, whoever makes it, is a notification.
  std::weak_ptr<Queue> target = self->queue_;
  self->workstation_->SetConnectionListener([target](const UsbDevice&, bool connected) {
    if (auto queue = target.lock()) queue->Push(connected ? os::DeviceEvent::kArrival : os::DeviceEvent::kRemoval);
  });

  const auto start = std::chrono::steady_clock::now();
  try {
    self->player_ = std::thread([queue = self->queue_, workstation = self->workstation_, events = std::move(events),
                                 start] {
      for (const DeviceEvent& event : events) {
        {
          std::unique_lock lock(queue->mutex);
          if (queue->stop_changed.wait_until(lock, start + event.after, [&] { return queue->stop; })) return;
        }
        workstation->SetConnected(event.device, event.connected);
      }
    });
  } catch (const std::system_error&) {
    self->workstation_->SetConnectionListener(nullptr);
    return nullptr;
  }
  return self;
}

WorkstationDeviceEventSource::~WorkstationDeviceEventSource() {
  if (player_.joinable()) {
    {
      std::lock_guard lock(queue_->mutex);
      queue_->stop = true;
    }
    queue_->stop_changed.notify_all();
    player_.join();
  }
  if (workstation_) workstation_->SetConnectionListener(nullptr);
}

os::DeviceEvent WorkstationDeviceEventSource::ReadEvent() {
  char byte;
  if (read(queue_->read_end, &byte, 1) != 1) return os::DeviceEvent::kOther;
  std::lock_guard lock(queue_->mutex);
  if (queue_->pending.empty()) return os::DeviceEvent::kOther;
  const os::DeviceEvent event = queue_->pending.front();
  queue_->pending.pop_front();
  return event;
}

}  // namespace

std::unique_ptr<os::DeviceEventSource> WorkstationDeviceEvents::Open() {
  return WorkstationDeviceEventSource::Open(workstation_, events_);
}

}  // namespace fcp::sim
