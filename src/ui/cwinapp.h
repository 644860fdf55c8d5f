// CWinApp: the one application object, and the framework's program entry. Each platform's entry
// function (main, wWinMain) installs its backend and calls AfxWinMain with the command-line text
// after the program name.
#pragma once
#include <string>

#include "ui/cwnd.h"
#include "ui/win_ui_types.h"

#ifdef _WIN32
#include <commctrl.h>
#else
inline constexpr DWORD ICC_WIN95_CLASSES = 0x000000FF;
struct INITCOMMONCONTROLSEX {
  DWORD dwSize;
  DWORD dwICC;
};
// Nothing to prepare outside Windows: the backends bring their own controls.
inline BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init) { return init != nullptr; }
#endif

namespace fcp::ui {

inline constexpr DWORD AFX_RESTART_MANAGER_SUPPORT_RESTART = 0x01;

class CWinApp {
 public:
  // Registers this object as the application. There is exactly one.
  explicit CWinApp(const wchar_t* app_name = nullptr);
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // Called once at start. FALSE: the application ends at once, after ExitInstance.
  virtual BOOL InitInstance();
  // The process exit code.
  virtual int ExitInstance();

  HICON LoadIcon(UINT resource_id) const;

  CWnd* m_pMainWnd = nullptr;
  std::wstring m_lpCmdLine;  // the command line after the program name
  const wchar_t* m_pszAppName = nullptr;
  DWORD m_dwRestartManagerSupportFlags = 0;
};

CWinApp* AfxGetApp();

// Runs the application object: InitInstance, then ExitInstance, whose value it returns (the process
// exit code). -1 when there is no application object.
int AfxWinMain(const std::wstring& command_line);

}  // namespace fcp::ui
