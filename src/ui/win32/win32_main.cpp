#include "ui/win32/win32_main.h"

#include "ui/cwinapp.h"
#include "ui/win32/win32_backend.h"

namespace fcp::ui {

int Win32Main(HINSTANCE instance, const wchar_t* command_line) {
  win32::Win32Backend backend(instance);
  InstallBackend(&backend);
  const int exit_code = AfxWinMain(command_line ? command_line : L"");
  InstallBackend(nullptr);
  return exit_code;
}

}  // namespace fcp::ui
