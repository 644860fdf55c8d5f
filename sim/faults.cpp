#include "sim/faults.h"

namespace fcp::sim {

const std::map<std::string, FaultAction>& FaultActionNames() {
  static const std::map<std::string, FaultAction> kNames = {{"stall", FaultAction::kStall},
                                                           {"short", FaultAction::kShort},
                                                           {"wrong_data", FaultAction::kWrongData},
                                                           {"disconnect", FaultAction::kDisconnect},
                                                           {"timeout", FaultAction::kTimeout}};
  return kNames;
}

const char* FaultActionName(FaultAction action) {
  for (const auto& [name, named] : FaultActionNames())
    if (named == action) return name.c_str();
  return "?";
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
