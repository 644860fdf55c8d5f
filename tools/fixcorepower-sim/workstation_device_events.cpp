#include "workstation_device_events.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>

namespace fcp::sim {

// The events waiting to be read, and the pipe that makes them visible to a poll. It also holds the
// player's stop request.
struct WorkstationDeviceEvents::Queue {
  std::mutex mutex;
  std::condition_variable stopChanged;
  bool stop = false;
  std::deque<WPARAM> pending;
  int readEnd = -1;
  int writeEnd = -1;

  ~Queue() {
    if (readEnd >= 0) close(readEnd);
    if (writeEnd >= 0) close(writeEnd);
  }

  void Push(WPARAM event) {
    std::lock_guard lock(mutex);
    pending.push_back(event);
    const char byte = 1;
    while (write(writeEnd, &byte, 1) < 0 && errno == EINTR) {
    }
  }
};

std::unique_ptr<WorkstationDeviceEvents> WorkstationDeviceEvents::Open(std::shared_ptr<Workstation> workstation,
                                                                       std::vector<DeviceEvent> events) {
  std::unique_ptr<WorkstationDeviceEvents> self(new WorkstationDeviceEvents);
  self->workstation_ = std::move(workstation);
  self->queue_ = std::make_shared<Queue>();
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return nullptr;
  self->queue_->readEnd = ends[0];
  self->queue_->writeEnd = ends[1];

  // Every change of a device's connection, whoever makes it, is a notification.
  std::weak_ptr<Queue> target = self->queue_;
  self->workstation_->set_connection_listener([target](const UsbDevice&, bool connected) {
    if (auto queue = target.lock()) queue->Push(connected ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE);
  });

  const auto start = std::chrono::steady_clock::now();
  try {
    self->player_ = std::thread([queue = self->queue_, workstation = self->workstation_, events = std::move(events),
                                 start] {
      for (const DeviceEvent& event : events) {
        {
          std::unique_lock lock(queue->mutex);
          if (queue->stopChanged.wait_until(lock, start + event.after, [&] { return queue->stop; })) return;
        }
        workstation->SetConnected(event.device, event.connected);
      }
    });
  } catch (const std::system_error&) {
    self->workstation_->set_connection_listener(nullptr);
    return nullptr;
  }
  return self;
}

WorkstationDeviceEvents::~WorkstationDeviceEvents() {
  if (player_.joinable()) {
    {
      std::lock_guard lock(queue_->mutex);
      queue_->stop = true;
    }
    queue_->stopChanged.notify_all();
    player_.join();
  }
  if (workstation_) workstation_->set_connection_listener(nullptr);
}

int WorkstationDeviceEvents::Fd() const { return queue_->readEnd; }

WPARAM WorkstationDeviceEvents::ReadEvent() {
  char byte;
  if (read(queue_->readEnd, &byte, 1) != 1) return 0;
  std::lock_guard lock(queue_->mutex);
  if (queue_->pending.empty()) return 0;
  const WPARAM event = queue_->pending.front();
  queue_->pending.pop_front();
  return event;
}

}  // namespace fcp::sim
