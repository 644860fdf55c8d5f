// Any bytes as a scenario file: loaded or refused with a message, never a crash; what loads saves
// and loads again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sim/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const fcp::sim::ScenarioLoad load = fcp::sim::LoadScenarioText(text, "fuzz.json");
  if (!load.workstation) {
    if (load.error.rfind("fuzz.json", 0) != 0) std::abort();
    return 0;
  }
  const std::string saved = fcp::sim::ScenarioText(*load.workstation);  // as the runner saves it
  const fcp::sim::ScenarioLoad again = fcp::sim::LoadScenarioText(saved, "saved.json");
  if (!again.workstation) std::abort();
  return 0;
}
