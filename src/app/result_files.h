// The result files of a check, in the executable's directory: result.txt (the verdict) and, for a
// failure, FailedLog_<local time>.txt (the sequence's error text). Single-byte text with CR LF.
#pragma once
#include <ctime>
#include <string>

#include "os/process_environment.h"

namespace fcp::app {

inline constexpr wchar_t kResultFileName[] = L"result.txt";

// "pass\n" / "fail\n", or with the LVI form "[Tool_Result]\n" + "Rtn=Pass\n" / "Rtn=Fail\n".
std::wstring ResultText(bool pass, bool lvi_output);

// "FailedLog_" + time as "%Y_%m_%d_%H_%M_%S" + ".txt".
std::wstring FailureLogName(const std::tm& local_time);
// The failure log's name for now, by the environment's clock and local time. Without a local time
// (no environment, or the conversion fails) the name says so, "FailedLog_unknown_time.txt", rather
// than carrying a date that never was.
std::wstring FailureLogNameNow(os::ProcessEnvironment* environment);

// Creates (or truncates) `path` and writes `text`: every "\n" becomes CR LF, every character one
// byte. 0 when written, otherwise the errno value of what failed; nothing is thrown.
int WriteTextFile(const std::wstring& path, const std::wstring& text);

// The failure log written as WriteTextFile writes, but never over another file: under `name` in
// `directory` when that name is free, otherwise under the first free one of <stem>_2.txt,
// <stem>_3.txt, ... (two failures within one second, from this process or another). Each name is
// taken by creating the file exclusively.
struct NewFileWrite {
  std::wstring path;  // the file written, or the last one tried
  int error = 0;      // errno value; 0 when written
};
NewFileWrite WriteFailureLog(const std::wstring& directory, const std::wstring& name, const std::wstring& text);

// Deletes `path`; a missing file or a failed delete is ignored.
void DeleteFileQuietly(const std::wstring& path);

}  // namespace fcp::app
