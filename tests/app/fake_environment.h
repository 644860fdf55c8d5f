// The process environment of a test: the executable in a test directory, a fixed clock and local
// time (each can be made to fail).
#pragma once
#include <ctime>
#include <string>

#include "os/process_environment.h"

namespace fcp::test {

class FakeEnvironment final : public os::ProcessEnvironment {
 public:
  std::wstring module_file_name;
  std::tm local_time{};
  std::time_t now = 0;
  bool local_time_fails = false;
  std::wstring ModuleFileName() override { return module_file_name; }
  wchar_t PathSeparator() const override { return L'/'; }
  std::time_t Now() override { return now; }
  bool LocalTime(std::time_t, std::tm& out) override {
    if (local_time_fails) return false;
    out = local_time;
    return true;
  }
  HRESULT CoInitializeEx(DWORD) override { return S_OK; }
  void CoUninitialize() override {}
};

}  // namespace fcp::test
