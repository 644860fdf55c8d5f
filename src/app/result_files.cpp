#include "app/result_files.h"

#include <cwchar>
#include <filesystem>
#include <fstream>

#include "os/native_path.h"

namespace fcp::app {

std::wstring ResultText(bool pass, bool lviOutput) {
  if (lviOutput) return pass ? L"[Tool_Result]\nRtn=Pass\n" : L"[Tool_Result]\nRtn=Fail\n";
  return pass ? L"pass\n" : L"fail\n";
}

std::wstring FailureLogName(const std::tm& localTime) {
  wchar_t time[128] = {};
  if (std::wcsftime(time, 128, L"%Y_%m_%d_%H_%M_%S", &localTime) == 0) time[0] = L'\0';
  return std::wstring(L"FailedLog_") + time + L".txt";
}

bool WriteTextFile(const std::wstring& path, const std::wstring& text) {
  std::string bytes;
  bytes.reserve(text.size() + 8);
  for (wchar_t c : text) {
    if (c == L'\n') {
      bytes += "\r\n";
    } else {
      bytes.push_back(static_cast<unsigned>(c) < 0x100 ? static_cast<char>(c) : '?');
    }
  }
  std::ofstream file(os::NativePath(path), std::ios::binary | std::ios::trunc);
  if (!file) return false;
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  return !file.fail();
}

void DeleteFileQuietly(const std::wstring& path) {
  std::error_code ignored;
  std::filesystem::remove(os::NativePath(path), ignored);
}

}  // namespace fcp::app
