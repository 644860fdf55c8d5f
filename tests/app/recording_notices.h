// An operator-notice port that keeps the lines it is told, installed for the life of the object.
#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "os/operator_notices.h"
#include "os/port.h"

namespace fcp::test {

class RecordingNotices final : public os::OperatorNotices {
 public:
  RecordingNotices() : previous_(os::InstallPort<os::OperatorNotices>(this)) {}
  ~RecordingNotices() override { os::InstallPort(previous_); }
  void Say(const std::string& line) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  os::OperatorNotices* previous_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace fcp::test
