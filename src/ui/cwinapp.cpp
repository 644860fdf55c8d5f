#include "ui/cwinapp.h"

#include <cassert>

namespace fcp::ui {
namespace {
CWinApp* g_application = nullptr;
}

CWinApp::CWinApp(const wchar_t* app_name) : m_pszAppName(app_name) {
  assert(g_application == nullptr && "one application object per process");
  g_application = this;
}

CWinApp::~CWinApp() {
  if (g_application == this) g_application = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }
int CWinApp::ExitInstance() { return 0; }

HICON CWinApp::LoadIcon(UINT resource_id) const {
  Backend* backend = CurrentBackend();
  return backend ? backend->LoadIcon(static_cast<int>(resource_id)) : nullptr;
}

CWinApp* AfxGetApp() { return g_application; }

int AfxWinMain(const std::wstring& command_line) {
  CWinApp* app = AfxGetApp();
  if (!app) return -1;
  app->m_lpCmdLine = command_line;
  // A dialog application does its whole work inside InitInstance; there is no message loop of the
  // application's own after it, whatever it returns.
  app->InitInstance();
  return app->ExitInstance();
}

}  // namespace fcp::ui
