#include "app/result_files.h"

#include <cwchar>
#include <filesystem>
#include <fstream>

#include "os/native_path.h"

namespace fcp::app {

std::wstring ResultText(bool pass, bool lvi_output) {
  if (lvi_output) return pass ? L"[Tool_Result]\nRtn=Pass\n" : L"[Tool_Result]\nRtn=Fail\n";
  return pass ? L"pass\n" : L"fail\n";
}

namespace {

constexpr wchar_t kFailureLogPrefix[] = L"FailedLog_";
constexpr wchar_t kFailureLogSuffix[] = L".txt";

// The time part of a failure log's name; empty when it cannot be formatted.
std::wstring TimeText(const std::tm& local_time) {
  wchar_t time[128] = {};
  if (std::wcsftime(time, 128, L"%Y_%m_%d_%H_%M_%S", &local_time) == 0) return {};
  return time;
}

}  // namespace

std::wstring FailureLogName(const std::tm& local_time) {
  return kFailureLogPrefix + TimeText(local_time) + kFailureLogSuffix;
}

std::wstring FailureLogNameNow(os::ProcessEnvironment* environment) {
  std::tm local_time{};
  std::wstring time;
  if (environment) {
    const std::time_t now = environment->Now();
    // time() gives -1 when the clock cannot be read: no moment to name.
    if (now != static_cast<std::time_t>(-1) && environment->LocalTime(now, local_time)) time = TimeText(local_time);
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
