#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <vector>

#include "os/process_environment.h"

namespace fcp::os {
namespace {

std::wstring Widen(const std::string& text) {
  std::mbstate_t state{};
  const char* src = text.c_str();
  const size_t n = std::mbsrtowcs(nullptr, &src, 0, &state);
  if (n == static_cast<size_t>(-1)) {
    // Bytes the locale cannot read stay one character each (os/native_path.h turns them back).
    std::wstring bytes;
    for (unsigned char c : text) bytes.push_back(c);
    return bytes;
  }
  std::wstring out(n, L'\0');
  src = text.c_str();
  state = {};
  std::mbsrtowcs(out.data(), &src, n, &state);
  return out;
}

class LinuxProcessEnvironment final : public ProcessEnvironment {
 public:
  std::wstring ModuleFileName() override {
    std::vector<char> buffer(4096);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return {};
    return Widen(std::string(buffer.data(), static_cast<size_t>(n)));
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
