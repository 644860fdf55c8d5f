// The check worker and its entry.
#include <utility>

#include "app/check_worker.h"

#include "app/check_result.h"

std::atomic<int32_t> g_nCheckResult{0};

namespace {

WorkerThreadFactory& ThreadFactory() {
  static WorkerThreadFactory factory;
  return factory;
}

}  // namespace

WorkerThreadFactory SetWorkerThreadFactory(WorkerThreadFactory factory) {
  return std::exchange(ThreadFactory(), std::move(factory));
}

CCheckWorker::CCheckWorker(CheckClient* dialog) {
  // The sequence reads the stop token through the dialog: it is in place before the thread runs.
  dialog->WorkerStarting(stop_.get_token());
  auto body = [this, dialog] {
    exit_code_ = CheckThreadProc(dialog);
    std::lock_guard lock(finishing_);
    finished_ = true;
    // Wakes the dialog's thread at once if it waits for this worker (StopWorker, WaitForWorker)
    // rather than at its next look.
    dialog->WorkerEnded();
  };
  thread_ = ThreadFactory() ? ThreadFactory()(body) : std::thread(body);
}

CCheckWorker::~CCheckWorker() {
  if (thread_.joinable()) thread_.join();
}

DWORD CheckThreadProc(CheckClient* dialog) {
  dialog->CheckStarting();
  g_nCheckResult = -1;

  const std::optional<bool> pass = dialog->RunSequence();
  // A run stopped at a safe point has no verdict: nothing shown, nothing written, the result stays
  // "unfinished". A stop request that came after the patch write had started changes nothing.
  if (!pass) return static_cast<DWORD>(g_nCheckResult.load());

  dialog->ReportVerdict(*pass);
  return static_cast<DWORD>(g_nCheckResult.load());
}
