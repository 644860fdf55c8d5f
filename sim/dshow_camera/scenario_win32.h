// A scenario file named by a Windows path, for the virtual camera and its set-up program.
#pragma once
#include "sim/scenario.h"  // before the COM headers, which define `interface` as a macro

#include <windows.h>

#include <string>

namespace fcp::sim::dshow {

// The file goes to the C runtime in the process's ANSI code page, as its narrow file functions take it.
inline ScenarioLoad LoadScenarioFileW(const std::wstring& path) {
  const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  BOOL lossy = FALSE;
  if (size <= 0 ||
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.c_str(), -1, narrow.data(), size, nullptr, &lossy) != size ||
      lossy) {
    ScenarioLoad load;
    load.error = "the scenario's path cannot be written in the ANSI code page";
    return load;
  }
  narrow.pop_back();  // the terminating NUL
  return LoadScenarioFile(narrow);
}

}  // namespace fcp::sim::dshow
