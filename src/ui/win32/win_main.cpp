// The Windows program entry: the platform's ports and the dialog backend are installed, then the
// application object runs (InitInstance, the modal dialog, ExitInstance). Its exit code is the process's.
#include <windows.h>

#include "os/process_environment.h"
#include "os/win32/platform_ports.h"
#include "ui/cwinapp.h"
#include "ui/win32/win32_backend.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int) {
  fcp::os::win32::InstallPlatformPorts();
  fcp::ui::win32::Win32Backend backend(instance);
  fcp::ui::InstallBackend(&backend);
  const int exitCode = fcp::ui::AfxWinMain(commandLine ? commandLine : L"");
  fcp::ui::InstallBackend(nullptr);
  return exitCode;
}
