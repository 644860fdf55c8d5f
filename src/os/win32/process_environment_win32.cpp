#include <windows.h>
#include <objbase.h>

#include <vector>

#include "os/process_environment.h"

namespace fcp::os {
namespace {

class Win32ProcessEnvironment final : public ProcessEnvironment {
 public:
  std::wstring ModuleFileName() override {
    // Grown until the whole path fits: a cut path would put the result files somewhere else.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
      const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
      if (n == 0) return {};
      if (n < buffer.size()) return std::wstring(buffer.data(), n);
      if (buffer.size() >= 32768) return {};  // beyond the longest path Windows has
      buffer.resize(buffer.size() * 2);
    }
  }
  wchar_t PathSeparator() const override { return L'\\'; }
  std::time_t Now() override { return std::time(nullptr); }
  bool LocalTime(std::time_t moment, std::tm& out) override { return localtime_s(&out, &moment) == 0; }
  HRESULT CoInitializeEx(DWORD coinit) override { return ::CoInitializeEx(nullptr, coinit); }
  void CoUninitialize() override { ::CoUninitialize(); }
};

}  // namespace

ProcessEnvironment& PlatformProcessEnvironment() {
  static Win32ProcessEnvironment environment;
  return environment;
}

}  // namespace fcp::os
