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

namespace {

constexpr wchar_t kFailureLogPrefix[] = L"FailedLog_";
constexpr wchar_t kFailureLogSuffix[] = L".txt";

// The time part of a failure log's name; empty when it cannot be formatted.
std::wstring TimeText(const std::tm& localTime) {
  wchar_t time[128] = {};
  if (std::wcsftime(time, 128, L"%Y_%m_%d_%H_%M_%S", &localTime) == 0) return {};
  return time;
}

}  // namespace

std::wstring FailureLogName(const std::tm& localTime) {
  return kFailureLogPrefix + TimeText(localTime) + kFailureLogSuffix;
}

std::wstring FailureLogNameNow(os::ProcessEnvironment* environment) {
  std::tm localTime{};
  std::wstring time;
  if (environment) {
    const std::time_t now = environment->Now();
    // time() gives -1 when the clock cannot be read: no moment to name.
    if (now != static_cast<std::time_t>(-1) && environment->LocalTime(now, localTime)) time = TimeText(localTime);
  }
  if (time.empty()) time = L"unknown_time";
  return kFailureLogPrefix + time + kFailureLogSuffix;
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
