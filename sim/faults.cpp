#include "sim/faults.h"

namespace fcp::sim {

const char* FaultActionName(FaultAction action) {
  switch (action) {
    case FaultAction::kStall: return "stall";
    case FaultAction::kShort: return "short";
    case FaultAction::kWrongData: return "wrong_data";
    case FaultAction::kDisconnect: return "disconnect";
    case FaultAction::kTimeout: return "timeout";
  }
  return "?";
}

std::optional<FaultAction> FaultActionFromName(const std::string& name) {
  for (FaultAction a : {FaultAction::kStall, FaultAction::kShort, FaultAction::kWrongData,
                        FaultAction::kDisconnect, FaultAction::kTimeout})
    if (name == FaultActionName(a)) return a;
  return std::nullopt;
}

bool FaultMatch::Matches(const SetupPacket& setup) const {
  return (!request_type || *request_type == setup.bmRequestType) && (!request || *request == setup.bRequest) &&
         (!value || *value == setup.wValue) && (!index || *index == setup.wIndex);
}

bool FaultRule::Observe(const SetupPacket& setup) {
  if (!match.Matches(setup)) return false;
  ++seen;
  if (nth != 0 && seen < nth) return false;
  const unsigned limit = times ? *times : (nth != 0 ? 1u : 0u);
  if (limit != 0 && fired >= limit) return false;
  ++fired;
  return true;
}

}  // namespace fcp::sim
