#include "app/quillon_dialog_app.h"

#include <cstdio>

#include "app/check_result.h"
#include "app/fix_core_power_dlg.h"
#include "os/port.h"
#include "os/process_environment.h"

namespace {
fcp::os::ProcessEnvironment* Environment() { return fcp::os::InstalledPort<fcp::os::ProcessEnvironment>(); }
}  // namespace

CQuillon_DialogApp::CQuillon_DialogApp() : CWinApp(L"Quillon_Dialog") {
  m_dwRestartManagerSupportFlags = fcp::ui::AFX_RESTART_MANAGER_SUPPORT_RESTART;
}

BOOL CQuillon_DialogApp::InitInstance() {
  INITCOMMONCONTROLSEX init{};
  init.dwSize = sizeof(init);
  init.dwICC = ICC_WIN95_CLASSES;
  InitCommonControlsEx(&init);

  CWinApp::InitInstance();
  // ActiveX hosting, the shell manager and the settings key serve nothing in this tool: left out.

  // The camera side runs in this apartment on the dialog's thread and on the worker.
  if (auto* environment = Environment()) environment->CoInitializeEx(fcp::os::kCoinitMultithreaded);

  CFixCorePowerDlg dialog;
  dialog.ParseCommandLine(m_lpCmdLine);

  fcp::ui::Backend* backend = fcp::ui::CurrentBackend();
  if (!dialog.m_bSilent && (!backend || !backend->HasDisplay())) {
    // An interactive check needs an operator and a screen; without one the run must not look passed.
    std::fprintf(stderr, "No display to show the dialog on: run with -s for a check without one.\n");
    g_nCheckResult = -1;
    return FALSE;
  }

  m_pMainWnd = &dialog;
  if (dialog.DoModal() == -1) {
    // The window could not be made (no desktop to show it on, for one), so no check ran: the run
    // must not look passed.
    g_nCheckResult = -1;
  }
  m_pMainWnd = nullptr;
  return FALSE;
}

int CQuillon_DialogApp::ExitInstance() {
  if (auto* environment = Environment()) environment->CoUninitialize();
  CWinApp::ExitInstance();
  return g_nCheckResult;
}
