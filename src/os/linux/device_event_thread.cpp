#include "os/linux/device_event_thread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <thread>

namespace fcp::os {

struct DeviceEventThread::State {
  std::unique_ptr<DeviceEventSource> source;
  Callback callback;
  int wake = -1;  // eventfd: written once when the thread is to end
  std::thread thread;

  void Run() {
    for (;;) {
      pollfd fds[2] = {{wake, POLLIN, 0}, {source->Fd(), POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents) return;
      if (fds[1].revents & POLLIN) {
        if (const DeviceEvent event = source->ReadEvent(); event != DeviceEvent::kOther) callback(event);
      } else if (fds[1].revents) {
        return;  // the source is gone (hang-up or error): nothing more will come
      }
    }
  }
};

std::unique_ptr<DeviceEventThread> DeviceEventThread::Start(std::unique_ptr<DeviceEventSource> source,
                                                            Callback callback) {
  if (!source) return nullptr;
  std::unique_ptr<DeviceEventThread> self(new DeviceEventThread);
  self->state_ = std::make_unique<State>();
  State& state = *self->state_;
  state.source = std::move(source);
  state.callback = std::move(callback);
  state.wake = eventfd(0, EFD_CLOEXEC);
  if (state.wake < 0) return nullptr;
  try {
    state.thread = std::thread([&state] { state.Run(); });
  } catch (const std::system_error&) {
    close(state.wake);
    state.wake = -1;
    return nullptr;
  }
  return self;
}

DeviceEventThread::~DeviceEventThread() {
  if (!state_) return;
  if (state_->thread.joinable()) {
    const uint64_t one = 1;
    while (write(state_->wake, &one, sizeof one) < 0 && errno == EINTR) {
    }
    state_->thread.join();
  }
  if (state_->wake >= 0) close(state_->wake);
}

}  // namespace fcp::os
