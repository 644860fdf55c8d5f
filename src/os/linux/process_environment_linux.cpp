#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <vector>

#include "os/process_environment.h"
#include "text/widening.h"

namespace fcp::os {
namespace {

class LinuxProcessEnvironment final : public ProcessEnvironment {
 public:
  std::wstring ModuleFileName() override {
    std::vector<char> buffer(4096);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return {};
    return text::WidenLocaleText(std::string(buffer.data(), static_cast<size_t>(n)).c_str());
  }
  wchar_t PathSeparator() const override { return L'/'; }
  std::time_t Now() override { return std::time(nullptr); }
  bool LocalTime(std::time_t moment, std::tm& out) override {
    tzset();
    return localtime_r(&moment, &out) != nullptr;
  }
  HRESULT CoInitializeEx(DWORD) override { return S_OK; }  // no COM on Linux
  void CoUninitialize() override {}
};

}  // namespace

ProcessEnvironment& PlatformProcessEnvironment() {
  static LinuxProcessEnvironment environment;
  return environment;
}

}  // namespace fcp::os
