#include "sim/windows/windows_state.h"

#include <string>

#include "text/widening.h"

namespace fcp::sim::windows {
namespace {

std::string ServiceStateName(DWORD state) {
  switch (state) {
    case 1: return "stopped";
    case 2: return "start_pending";
    case 3: return "stop_pending";
    case 4: return "running";
    default: return std::to_string(state);
  }
}

}  // namespace

nlohmann::json WindowsStateJson(PassThroughViews& views) {
  using nlohmann::json;
  const SimWindows::Holdings held = views.Windows().Holding();
  json state = json::object();

  json services = json::object();
  for (const auto& [name, service] : held.services) {
    services[text::PrintableAscii(name)] = {{"binary_path", text::PrintableAscii(service.binary_path)},
                                         {"type", service.type},
                                         {"start", service.start},
                                         {"state", ServiceStateName(service.state)},
                                         {"delete_pending", service.delete_pending}};
  }
  state["services"] = services;
  state["driver_service_key"] = held.driver_service_key;
  const auto ref_count = views.Windows().RefCount();
  state["ref_count"] = ref_count ? json(*ref_count) : json(nullptr);

  json files = json::array();
  for (const auto& path : held.files) files.push_back(text::PrintableAscii(path));
  state["files"] = files;

  json mutexes = json::object();
  for (const auto& [name, m] : held.mutexes) {
    mutexes[text::PrintableAscii(name)] = {{"handles", m.handles}, {"owner", m.owner}, {"abandoned", m.abandoned}};
  }
  state["mutexes"] = mutexes;

  state["driver"] = {{"loaded", held.driver_loaded},
                     {"loads", held.driver_loads},
                     {"open_handles", held.driver_handles},
                     {"registered_devices", held.registered_devices}};

  json processes = json::object();
  for (const auto& [pid, handles] : held.process_handles) processes[std::to_string(pid)] = {{"open_handles", handles}};
  state["processes"] = processes;
  state["tool_process"] = views.Process().Pid();
  state["device_setup"] = {{"open_sets", views.Tree().OpenSets()},
                           {"open_interface_files", views.Tree().OpenInterfaceFiles()}};
  state["kernel"] = {{"open_interface_handles", views.KernelDevices().OpenHandles()}};
  // The camera layer's waits (its sleeps are counted, not slept): the readiness wait shows here.
  state["camera_layer"] = {{"slept_ms", views.Host().slept_ms.load()}};
  return state;
}

}  // namespace fcp::sim::windows
