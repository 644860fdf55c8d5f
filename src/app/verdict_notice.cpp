#include "app/verdict_notice.h"

#include <cstdio>
#include <system_error>

#include "text/widening.h"

namespace fcp::app {
namespace {

// The error text's lines on one line: line ends between lines become "; ", those at the end go.
std::string OneLine(const std::wstring& text) {
  std::wstring joined;
  bool pending_break = false;
  for (wchar_t c : text) {
    if (c == L'\n' || c == L'\r') {
      pending_break = !joined.empty();
      continue;
    }
    if (pending_break) joined += L"; ";
    pending_break = false;
    joined += c;
  }
  return text::PrintableAscii(joined);
}

std::string CameraText(const CheckedCamera& camera) {
  if (camera.location.empty()) return "(no camera selected)";
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04x:%04x", camera.vid, camera.pid);
  return std::string("(camera ") + ids + " at " + text::PrintableAscii(camera.location) + ")";
}

}  // namespace

std::string VerdictLine(bool pass, const std::wstring& error, const CheckedCamera& camera) {
  if (pass) return "PASS " + CameraText(camera);
  const std::string reason = OneLine(error);
  return "FAIL: " + (reason.empty() ? std::string("no reason recorded") : reason) + " " + CameraText(camera);
}

std::string UnwrittenFileLine(const std::wstring& path, int error) {
  return "could not write the result file " + text::PrintableAscii(path) + ": " +
         std::generic_category().message(error);
}

}  // namespace fcp::app
