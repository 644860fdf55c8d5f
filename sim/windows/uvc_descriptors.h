// The video-control side of a UVC camera's configuration descriptor, as the platform's UVC driver
// reads it to build a camera filter's topology: the video-control interface and its units.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "os/guid.h"

namespace fcp::sim::windows {

// VC interface descriptor subtypes (UVC 1.x).
enum class VcEntityKind : uint8_t {
  kInputTerminal = 0x02,
  kOutputTerminal = 0x03,
  kSelectorUnit = 0x04,
  kProcessingUnit = 0x05,
  kExtensionUnit = 0x06,
};

struct VcEntity {
  VcEntityKind kind;
  uint8_t id = 0;                 // bTerminalID / bUnitID
  uint16_t terminalType = 0;      // wTerminalType of a terminal
  os::Guid extensionCode;         // guidExtensionCode of an extension unit
  std::vector<uint8_t> controls;  // bmControls of an extension unit: control n is bit n-1

  bool HasControl(uint32_t control) const {
    if (control == 0 || (control - 1) / 8 >= controls.size()) return false;
    return (controls[(control - 1) / 8] >> ((control - 1) % 8) & 1) != 0;
  }
};

struct VideoControlInterface {
  uint8_t interfaceNumber = 0;
  std::vector<VcEntity> entities;  // in descriptor order
};

// The first video-control interface (class 0x0E, subclass 0x01) of a configuration descriptor and
// its entities; none when there is no such interface. Malformed lengths end the walk.
std::optional<VideoControlInterface> ParseVideoControl(std::span<const uint8_t> configuration);

}  // namespace fcp::sim::windows
