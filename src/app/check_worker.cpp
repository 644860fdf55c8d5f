// The check worker and its entry.
#include <utility>

#include "app/check_worker.h"

#include "app/fix_core_power_dlg.h"

namespace {

WorkerThreadFactory& ThreadFactory() {
  static WorkerThreadFactory factory;
  return factory;
}

}  // namespace

WorkerThreadFactory SetWorkerThreadFactory(WorkerThreadFactory factory) {
  return std::exchange(ThreadFactory(), std::move(factory));
}

CCheckWorker::CCheckWorker(CFixCorePowerDlg* dialog) {
  // The worker reads its stop token through the dialog: it is in place before the thread runs.
  dialog->m_workerStop = stop_.get_token();
  auto body = [this, dialog] {
    exit_code_ = CheckThreadProc(dialog);
    std::lock_guard lock(finishing_);
    finished_ = true;
    // Wakes the dialog's thread at once if it waits for this worker (StopWorker, WaitForWorker)
    // rather than at its next look.
    dialog->PostMessage(WM_NULL);
  };
  thread_ = ThreadFactory() ? ThreadFactory()(body) : std::thread(body);
}

CCheckWorker::~CCheckWorker() {
  if (thread_.joinable()) thread_.join();
}

DWORD CheckThreadProc(CFixCorePowerDlg* dialog) {
  dialog->m_btnCheck.EnableWindow(FALSE);
  g_nCheckResult = -1;

  dialog->m_bChecking = 1;
  const int pass = dialog->FixCorePower();
  dialog->m_bChecking = 0;
  // A run stopped at a safe point has no verdict: nothing shown, nothing written, the result stays
  // "unfinished". A stop request that came after the patch write had started changes nothing.
  if (dialog->m_bRunStopped) return static_cast<DWORD>(g_nCheckResult.load());

  dialog->ReportVerdict(pass != 0);
  return static_cast<DWORD>(g_nCheckResult.load());
}
