// The one process-wide current camera of the camera side.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "os/video_inputs.h"
#include "uvc/vcmd.h"

namespace fcp::uvc {

struct CurrentCamera {
  std::unique_ptr<os::VideoFilter> filter;    // null: no camera is current
  std::unique_ptr<os::KsControl> ks_control;   // the filter's control interface
  uint32_t node_id = 0;                        // the extension unit's topology node
  std::wstring device_path;                    // moniker "DevicePath"
  std::wstring device_id;                      // registry key name below the Enum tree
  std::wstring friendly_name;                  // moniker "FriendlyName"
  std::array<uint8_t, kStatusBlockSize> status{};  // device status block read at open
};

// The current camera. Used by one thread at a time (the dialog's or the check worker's).
CurrentCamera& Camera();

}  // namespace fcp::uvc
