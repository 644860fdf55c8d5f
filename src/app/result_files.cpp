#include "app/result_files.h"

#include <cerrno>
#include <cwchar>
#include <filesystem>
#include <string>

#include "os/file_write.h"
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

namespace {

std::string TextBytes(const std::wstring& text) {
  std::string bytes;
  bytes.reserve(text.size() + 8);
  for (wchar_t c : text) {
    if (c == L'\n') {
      bytes += "\r\n";
    } else {
      bytes.push_back(static_cast<unsigned>(c) < 0x100 ? static_cast<char>(c) : '?');
    }
  }
  return bytes;
}

// Enough for any burst of failures within one second; past it the log is not written.
constexpr int kMaxFailureLogsPerName = 1000;

}  // namespace

int WriteTextFile(const std::wstring& path, const std::wstring& text) {
  return os::WriteWholeFile(os::NativePath(path), TextBytes(text), os::FileCreation::kReplace);
}

NewFileWrite WriteFailureLog(const std::wstring& directory, const std::wstring& name, const std::wstring& text) {
  const std::string bytes = TextBytes(text);
  const std::wstring suffix = kFailureLogSuffix;
  const bool has_suffix = name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
  const std::wstring stem = has_suffix ? name.substr(0, name.size() - suffix.size()) : name;
  NewFileWrite write;
  for (int number = 1; number <= kMaxFailureLogsPerName; ++number) {
    write.path = directory + (number == 1 ? name : stem + L"_" + std::to_wstring(number) + suffix);
    write.error = os::WriteWholeFile(os::NativePath(write.path), bytes, os::FileCreation::kNew);
    if (write.error != EEXIST) break;
  }
  return write;
}

void DeleteFileQuietly(const std::wstring& path) {
  std::error_code ignored;
  std::filesystem::remove(os::NativePath(path), ignored);
}

}  // namespace fcp::app
