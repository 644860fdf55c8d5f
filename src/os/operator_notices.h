// Port: lines for the operator beside the dialog: the verdict of each check, result files that could
// not be written, devices the user may not open. The Linux tool installs one that writes standard
// error; the Windows tool installs none, and then nothing is said.
#pragma once
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "os/port.h"

namespace fcp::os {

class OperatorNotices {
 public:
  virtual ~OperatorNotices() = default;
  // One line, printable ASCII, without the program's name and without a line end.
  virtual void Say(const std::string& line) = 0;
};

// Says `line` through the installed port, if any.
inline void SayToOperator(const std::string& line) {
  if (OperatorNotices* notices = InstalledPort<OperatorNotices>()) notices->Say(line);
}

// The same, once per process for each line: a condition met again at every rescan (a camera the
// user may not open) is said when first met, not 25 times over.
inline void SayToOperatorOnce(const std::string& line) {
  static std::mutex mutex;
  static std::set<std::string> said;
  {
    std::lock_guard lock(mutex);
    if (!said.insert(line).second) return;
  }
  SayToOperator(line);
}

// A device the user may not open (`device`: "camera", "USB device"; `node`: the node refused), named
// by its IDs and, when known, its location, as the verdict names a camera. Said once per process.
inline void SayNoAccessOnce(const char* device, uint16_t vid, uint16_t pid, const std::optional<std::string>& location,
                            const char* node) {
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04x:%04x", vid, pid);
  std::string line = std::string("no access to the ") + device + " " + ids;
  if (location) line += " at " + *location;
  SayToOperatorOnce(line + " (its " + node + "): Permission denied; the manual page says which groups an operator needs");
}

}  // namespace fcp::os
