// Port: facts and services of the running process that the application shell needs: where the
// executable lives, the clock and local time, and the COM apartment of the main thread.
#pragma once
#include <ctime>
#include <string>

#include "os/win_types.h"

namespace fcp::os {

inline constexpr DWORD kCoinitMultithreaded = 0x0;  // COINIT_MULTITHREADED

class ProcessEnvironment {
 public:
  virtual ~ProcessEnvironment() = default;
  // Full path of the running executable (GetModuleFileNameW; /proc/self/exe), empty when unknown.
  virtual std::wstring ModuleFileName() = 0;
  // The platform's directory separator in ModuleFileName's text.
  virtual wchar_t PathSeparator() const = 0;
  virtual std::time_t Now() = 0;
  // The machine's local time (time zone and daylight saving) for a moment; false when it has none.
  virtual bool LocalTime(std::time_t moment, std::tm& out) = 0;
  virtual HRESULT CoInitializeEx(DWORD coinit) = 0;
  virtual void CoUninitialize() = 0;
};

// The platform's implementation (os/linux, os/win32); the program's entry installs it.
ProcessEnvironment& PlatformProcessEnvironment();

}  // namespace fcp::os
