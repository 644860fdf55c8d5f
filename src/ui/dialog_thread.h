// How calls from other threads reach a dialog's thread. Control calls behave like SendMessage: the
// caller waits until the dialog's thread has carried the call out. Posted calls are queued and not
// waited for. Once the window is gone, nothing queued for it runs any more and every caller still
// waiting is let go.
//
// A backend supplies only its "put this task on the dialog's loop" primitive; the waiting and the
// release when the window goes are here, once for every backend that does not get them from its
// platform.
#pragma once
#include <functional>
#include <memory>
#include <thread>

namespace fcp::ui {

class DialogThread {
 public:
  using Task = std::function<void()>;
  // Queues `task` to be run on the dialog's thread by its message loop, from any thread. False when
  // it could not be queued.
  using PostToLoop = std::function<bool(Task task)>;

  // The calling thread is the dialog's thread.
  explicit DialogThread(PostToLoop post_to_loop);
  ~DialogThread();  // closes
  DialogThread(const DialogThread&) = delete;
  DialogThread& operator=(const DialogThread&) = delete;

  bool IsCurrent() const { return std::this_thread::get_id() == thread_; }

  // Runs `call` on the dialog's thread and waits until it has run (at once when called there).
  // False when the window is gone, before or while waiting: the call then never runs, so it may
  // refer to the caller's locals.
  bool Send(Task call);
  // Queues `call` for the dialog's thread; it is dropped if the window is gone by the time its turn
  // comes. False when the window is gone already.
  bool Post(Task call);

  // The window is gone (the dialog's thread, after its last message).
  void Close();

 private:
  struct State;
  std::thread::id thread_;
  PostToLoop post_to_loop_;
  std::shared_ptr<State> state_;  // shared with the tasks still queued, which may outlive this
};

}  // namespace fcp::ui
