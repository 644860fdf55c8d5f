#include "ui/win32/win32_main.h"

#include "ui/cwinapp.h"
#include "ui/win32/win32_backend.h"

namespace fcp::ui {

int Win32Main(HINSTANCE instance, const wchar_t* commandLine) {
  win32::Win32Backend backend(instance);
  InstallBackend(&backend);
  const int exitCode = AfxWinMain(commandLine ? commandLine : L"");
  InstallBackend(nullptr);
  return exitCode;
}

}  // namespace fcp::ui
