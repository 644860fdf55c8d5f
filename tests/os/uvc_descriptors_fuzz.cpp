// A camera's descriptors come from the device: the walk that finds its video-control units must stay
// within the bytes and keep every unit's control bitmap inside its descriptor.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "os/uvc_filter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  for (std::optional<uint8_t> interface_number : {std::optional<uint8_t>{}, std::optional<uint8_t>{0}}) {
    const auto vc = fcp::os::ParseVideoControl(bytes, interface_number);
    if (!vc) continue;
    size_t total = 0;
    for (const auto& entity : vc->entities) {
      total += entity.controls.size();
      (void)fcp::os::NodeTypeOf(entity);
      for (uint32_t control = 0; control < 300; ++control) (void)entity.HasControl(control);
    }
    if (total > size || vc->entities.size() > size / 4) __builtin_trap();
  }
  return 0;
}
