// The framework's entry on Windows: installs the Win32 dialog backend and runs the application object
// (AfxWinMain) with the command line after the program name, as wWinMain receives it. Returns the exit
// code. The program's wWinMain installs its platform ports first.
#pragma once
#include <windows.h>

namespace fcp::ui {
int Win32Main(HINSTANCE instance, const wchar_t* command_line);
}
