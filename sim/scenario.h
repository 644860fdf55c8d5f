// Scenario files: a whole workstation in JSON (devices, their places, chip states, faults, latencies).
// The format is described in sim/README.md. Loading never throws and never crashes on bad input: a
// malformed file is refused with one message naming the file and the place in it.
#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/chip.h"
#include "sim/workstation.h"

namespace fcp::sim {

// A device plugged in or out while the tool runs: `after` the dialog has opened (the scenario's
// "events").
struct DeviceEvent {
  std::chrono::milliseconds after{0};
  std::string device;  // a device id of the scenario
  bool connected = true;
};

struct ScenarioLoad {
  std::shared_ptr<Workstation> workstation;  // null when refused
  std::string error;                         // "<file>: <place>: <what is wrong>" when refused
  std::string description;
  std::vector<DeviceEvent> events;           // in the order they happen (by time, then as written)
};

// `name` is used in messages only.
ScenarioLoad LoadScenarioText(std::string_view text, const std::string& name);
ScenarioLoad LoadScenarioFile(const std::string& path);

// The workstation as a scenario, with every chip's state as it is now: loading it gives back the
// same workstation (the runner saves chip states this way between runs).
nlohmann::json ScenarioJson(const Workstation& workstation);
// The text SaveScenarioFile writes: indented, or compact when the indented text would be larger
// than a scenario file may be. Whatever loaded saves within that limit and loads again.
std::string ScenarioText(const Workstation& workstation);
bool SaveScenarioFile(const Workstation& workstation, const std::string& path, std::string* error);

// One chip's state, in the scenario's "chip" format.
nlohmann::json ChipStateJson(const Chip& chip);

}  // namespace fcp::sim
