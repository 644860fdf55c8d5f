// The check worker: one run of the repair sequence for the dialog, on a thread of its own.
#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

#include "app/check_client.h"
#include "os/win_types.h"

// The check worker: one run of CheckThreadProc on a thread of its own, for a dialog that it knows
// only as a CheckClient. It can be asked to stop; the
// repair sequence honours that at its safe points, and a run stopped at one reports nothing. A run
// past its last safe point (the patch write) ends with its verdict all the same.
class CCheckWorker {
 public:
  // Starts the thread; throws std::system_error when no thread can be made.
  explicit CCheckWorker(CheckClient* dialog);
  ~CCheckWorker();  // joins the thread
  CCheckWorker(const CCheckWorker&) = delete;
  CCheckWorker& operator=(const CCheckWorker&) = delete;

  bool IsRunning() const {
    std::lock_guard lock(finishing_);
    return !finished_;
  }
  void RequestStop() { stop_.request_stop(); }
  std::stop_token StopToken() const { return stop_.get_token(); }
  DWORD ExitCode() const { return exit_code_.load(); }

 private:
  std::stop_source stop_;
  // The thread's end: set together with the message that wakes a dialog waiting for it, so that a
  // dialog that sees it can go (its window with it) without the thread touching it again.
  mutable std::mutex finishing_;
  bool finished_ = false;
  std::atomic<DWORD> exit_code_{0};
  std::thread thread_;
};

// The worker's entry: runs one check for `dialog`; returns g_nCheckResult (check_result.h).
DWORD CheckThreadProc(CheckClient* dialog);

// Makes the thread of a check worker: std::thread by default. A test puts in one that fails, as a
// system out of threads does (std::system_error).
using WorkerThreadFactory = std::function<std::thread(std::function<void()> body)>;
WorkerThreadFactory SetWorkerThreadFactory(WorkerThreadFactory factory);  // returns the previous one
