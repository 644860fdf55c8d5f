#include "ui/dialog_thread.h"

#include <condition_variable>
#include <mutex>

namespace fcp::ui {

struct DialogThread::State {
  std::mutex mutex;
  std::condition_variable settled;
  bool closed = false;
};

namespace {

// One sent call. Whoever takes it first decides: the dialog's thread runs it, or the caller gives
// up on it because the window went away while it was queued.
struct Sent {
  DialogThread::Task call;
  bool taken = false;
  bool finished = false;
};

}  // namespace

DialogThread::DialogThread(PostToLoop post_to_loop)
    : thread_(std::this_thread::get_id()), post_to_loop_(std::move(post_to_loop)), state_(std::make_shared<State>()) {}

DialogThread::~DialogThread() { Close(); }

bool DialogThread::Send(Task call) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->closed) return false;
  }
  if (IsCurrent()) {
    call();
    return true;
  }
  auto sent = std::make_shared<Sent>();
  sent->call = std::move(call);
  const bool queued = post_to_loop_([state = state_, sent] {
    std::unique_lock lock(state->mutex);
    if (sent->taken || state->closed) return;
    sent->taken = true;
    lock.unlock();
    sent->call();
    lock.lock();
    sent->finished = true;
    state->settled.notify_all();
  });
  std::unique_lock lock(state_->mutex);
  if (!queued) {
    sent->taken = true;
    return false;
  }
  state_->settled.wait(lock, [&] { return sent->finished || (state_->closed && !sent->taken); });
  sent->taken = true;  // a late turn of the task finds it gone
  return sent->finished;
}

bool DialogThread::Post(Task call) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->closed) return false;
  }
  // The task and Close() both run on the dialog's thread, so the check below cannot go stale
  // before the call runs.
  return post_to_loop_([state = state_, call = std::move(call)] {
    {
      std::lock_guard lock(state->mutex);
      if (state->closed) return;
    }
    call();
  });
}

void DialogThread::Close() {
  {
    std::lock_guard lock(state_->mutex);
    state_->closed = true;
  }
  state_->settled.notify_all();
}

}  // namespace fcp::ui
