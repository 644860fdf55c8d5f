// The check: starting the worker, the worker itself, and stopping it.
#include <system_error>
#include <utility>

#include "app/fix_core_power_dlg.h"
#include "app/result_files.h"
#include "os/port.h"
#include "os/process_environment.h"

std::atomic<int32_t> g_nCheckResult{0};

namespace {

// What the failure log says when no worker could be started: the sequence never ran.
constexpr wchar_t kWorkerNotStarted[] = L"Failed to start the check thread\n";

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
    exitCode_ = CheckThreadProc(dialog);
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

void CFixCorePowerDlg::OnBnClickedCheck() {
  // The previous worker goes first, so that nothing it still writes can outlive the delete below.
  StopWorker();
  fcp::app::DeleteFileQuietly(m_strModuleDir + fcp::app::kResultFileName);
  SetDlgItemText(IDC_STATUS, L"N/A");
  if (m_bClosing) return;  // the dialog is ending while this waited for the previous worker

  try {
    m_pWorker = std::make_shared<CCheckWorker>(this);
  } catch (const std::system_error&) {
    // No thread for the check (the system is out of them): the check fails here and now, with its
    // files and, in silent mode, the close, so that a silent run still ends with a verdict.
    m_pWorker.reset();
    g_nCheckResult = -1;
    m_strError = kWorkerNotStarted;
    ReportVerdict(false);
  }
}

void CFixCorePowerDlg::StopWorker() {
  // A handler that runs while this waits (a device change, a close) may call here again: each call
  // waits on the same worker, and none returns while one runs.
  while (std::shared_ptr<CCheckWorker> worker = m_pWorker) {
    if (worker->IsRunning()) {
      worker->RequestStop();
      WaitWithMessages([&] { return !worker->IsRunning(); });
    }
    if (m_pWorker == worker) m_pWorker.reset();
  }
}

void CFixCorePowerDlg::WaitForWorker() {
  if (std::shared_ptr<CCheckWorker> worker = m_pWorker) {
    WaitWithMessages([&] { return !worker->IsRunning(); });
  }
}

void CFixCorePowerDlg::ReportVerdict(bool pass) {
  const std::wstring resultPath = m_strModuleDir + fcp::app::kResultFileName;
  if (pass) {
    g_nCheckResult = 0;
    SetDlgItemText(IDC_STATUS, L"PASS");
    fcp::app::WriteTextFile(resultPath, fcp::app::ResultText(true, m_bLVIOutput));
  } else {
    SetDlgItemText(IDC_STATUS, L"FAIL");
    fcp::app::WriteTextFile(resultPath, fcp::app::ResultText(false, m_bLVIOutput));
    const std::wstring logName =
        fcp::app::FailureLogNameNow(fcp::os::InstalledPort<fcp::os::ProcessEnvironment>());
    fcp::app::WriteTextFile(m_strModuleDir + logName, m_strError);
  }

  m_btnCheck.EnableWindow(TRUE);
  if (m_bSilent) PostMessage(WM_CLOSE);
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
