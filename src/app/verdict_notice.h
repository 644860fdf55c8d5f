// What the operator is told of a check beside the dialog (os/operator_notices.h): one line for each
// verdict, one for each result file that could not be written.
#pragma once
#include <cstdint>
#include <string>

namespace fcp::app {

// The camera a check ran on, as the dialog selected it; location empty: none was selected.
struct CheckedCamera {
  uint16_t vid = 0;
  uint16_t pid = 0;
  std::wstring location;
};

// "PASS (camera 1bcf:2b8a at <location>)" or "FAIL: <reason> (camera ...)": the reason is the failure
// log's text on one line (its lines joined by "; "). "(no camera selected)" without a camera.
std::string VerdictLine(bool pass, const std::wstring& error, const CheckedCamera& camera);

// "could not write the result file <path>: <reason of errno `error`>".
std::string UnwrittenFileLine(const std::wstring& path, int error);

}  // namespace fcp::app
