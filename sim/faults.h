// Faults a workstation injects into the control transfers of its devices.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "sim/hex.h"
#include "sim/usb_types.h"

namespace fcp::sim {

enum class FaultAction {
  kStall,       // the request stalls without reaching the device
  kShort,       // the data stage ends after `length` bytes
  kWrongData,   // the data is corrupted on the way (in either direction)
  kDisconnect,  // the device is unplugged before the request; it stays gone
  kTimeout,     // the request times out without reaching the device
};
// The actions by their names in scenario files and the trace.
const std::map<std::string, FaultAction>& FaultActionNames();
const char* FaultActionName(FaultAction action);

// Which transfers a rule looks at; an absent field matches anything.
struct FaultMatch {
  std::optional<uint8_t> request_type;
  std::optional<uint8_t> request;
  std::optional<uint16_t> value;
  std::optional<uint16_t> index;

  bool Matches(const SetupPacket& setup) const;
};

struct FaultRule {
  std::string device;  // id of the device it applies to
  FaultMatch match;
  // 0: every matching transfer; n: starting at the nth matching transfer (1-based).
  unsigned nth = 0;
  // How often the rule fires at most; 0: without limit. A rule with `nth` fires once unless told.
  std::optional<unsigned> times;
  FaultAction action = FaultAction::kStall;
  // kShort: bytes the data stage keeps (none: half of wLength).
  std::optional<uint16_t> length;
  // kWrongData: bytes that replace the start of the data (none: every byte inverted).
  std::optional<Bytes> data;

  // Counters while the workstation runs.
  unsigned seen = 0;
  unsigned fired = 0;

  // Counts the transfer when it matches; true when the rule fires for it.
  bool Observe(const SetupPacket& setup);
};

}  // namespace fcp::sim
