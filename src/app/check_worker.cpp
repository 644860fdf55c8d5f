// The check: starting the worker, the worker itself, and stopping it.
#include "app/fix_core_power_dlg.h"
#include "app/result_files.h"
#include "os/port.h"
#include "os/process_environment.h"

std::atomic<int32_t> g_nCheckResult{0};

CCheckWorker::CCheckWorker(CFixCorePowerDlg* dialog) {
  // The worker reads its stop token through the dialog: it is in place before the thread runs.
  dialog->m_workerStop = stop_.get_token();
  thread_ = std::thread([this, dialog] {
    exitCode_ = CheckThreadProc(dialog);
    finished_ = true;
  });
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

  m_pWorker = std::make_shared<CCheckWorker>(this);
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

DWORD CheckThreadProc(CFixCorePowerDlg* dialog) {
  dialog->m_btnCheck.EnableWindow(FALSE);
  g_nCheckResult = -1;

  dialog->m_bChecking = 1;
  const int pass = dialog->FixCorePower();
  dialog->m_bChecking = 0;
  // A stopped run has no verdict: nothing shown, nothing written, the result stays "unfinished".
  if (dialog->m_workerStop.stop_requested()) return static_cast<DWORD>(g_nCheckResult.load());

  const std::wstring resultPath = dialog->m_strModuleDir + fcp::app::kResultFileName;
  if (pass) {
    g_nCheckResult = 0;
    dialog->SetDlgItemText(IDC_STATUS, L"PASS");
    fcp::app::WriteTextFile(resultPath, fcp::app::ResultText(true, dialog->m_bLVIOutput));
  } else {
    dialog->SetDlgItemText(IDC_STATUS, L"FAIL");
    fcp::app::WriteTextFile(resultPath, fcp::app::ResultText(false, dialog->m_bLVIOutput));
    std::tm localTime{};
    if (auto* environment = fcp::os::InstalledPort<fcp::os::ProcessEnvironment>())
      environment->LocalTime(environment->Now(), localTime);
    fcp::app::WriteTextFile(dialog->m_strModuleDir + fcp::app::FailureLogName(localTime), dialog->m_strError);
  }

  dialog->m_btnCheck.EnableWindow(TRUE);
  if (dialog->m_bSilent) dialog->PostMessage(WM_CLOSE);
  return static_cast<DWORD>(g_nCheckResult.load());
}
