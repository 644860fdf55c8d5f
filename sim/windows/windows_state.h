// What the simulated Windows of the pass-through route holds, as JSON: its services and the driver's
// RefCount, its files, named mutexes, the driver (loaded, registered devices, open handles), and what
// the tool process, the device tree and the kernel still have open, and how long the camera layer
// waited. The runner saves it beside the
// workstation's state, so that "nothing left behind" can be checked from outside on any scenario.
#pragma once
#include <nlohmann/json.hpp>

#include "sim/windows/passthrough_views.h"

namespace fcp::sim::windows {

nlohmann::json WindowsStateJson(PassThroughViews& views);

}  // namespace fcp::sim::windows
