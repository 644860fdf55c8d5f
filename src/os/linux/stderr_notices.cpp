#include "os/linux/stderr_notices.h"

#include <cstdio>

namespace fcp::os {
namespace {

// The tool's own name, not the file's: a station copy may be called anything, and the operator's
// scripts look for this prefix.
constexpr char kProgramName[] = "fixcorepower";

class StderrOperatorNotices final : public OperatorNotices {
 public:
  void Say(const std::string& line) override {
    // One write per line, so that lines of two threads do not interleave.
    const std::string text = std::string(kProgramName) + ": " + line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }
};

}  // namespace

OperatorNotices& StderrNotices() {
  static StderrOperatorNotices notices;
  return notices;
}

}  // namespace fcp::os
