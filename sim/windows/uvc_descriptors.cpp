#include "sim/windows/uvc_descriptors.h"

namespace fcp::sim::windows {
namespace {

constexpr uint8_t kInterfaceDescriptor = 0x04;
constexpr uint8_t kCsInterface = 0x24;
constexpr uint8_t kVideoClass = 0x0E;
constexpr uint8_t kVideoControlSubclass = 0x01;

}  // namespace

std::optional<VideoControlInterface> ParseVideoControl(std::span<const uint8_t> configuration) {
  std::optional<VideoControlInterface> vc;
  bool inside = false;
  for (size_t at = 0; at + 2 <= configuration.size();) {
    const uint8_t length = configuration[at];
    if (length < 2 || at + length > configuration.size()) break;
    const std::span<const uint8_t> d = configuration.subspan(at, length);
    at += length;
    if (d[1] == kInterfaceDescriptor && length >= 9) {
      if (inside) break;  // the entities of the first VC interface are complete
      if (d[5] == kVideoClass && d[6] == kVideoControlSubclass) {
        vc.emplace();
        vc->interfaceNumber = d[2];
        inside = true;
      }
      continue;
    }
    if (!inside || d[1] != kCsInterface || length < 4) continue;
    VcEntity entity{static_cast<VcEntityKind>(d[2]), d[3], 0, {}, {}};
    switch (entity.kind) {
      case VcEntityKind::kInputTerminal:
      case VcEntityKind::kOutputTerminal:
        if (length < 6) continue;
        entity.terminalType = static_cast<uint16_t>(d[4] | d[5] << 8);
        break;
      case VcEntityKind::kSelectorUnit:
      case VcEntityKind::kProcessingUnit:
        break;
      case VcEntityKind::kExtensionUnit: {
        // bUnitID, guidExtensionCode[16], bNumControls, bNrInPins, baSourceID[p], bControlSize, bmControls[n]
        if (length < 22) continue;
        entity.extensionCode = os::Guid::FromBytes(d.data() + 4);
        const size_t pins = d[21];
        const size_t sizeAt = 22 + pins;
        if (sizeAt >= length || sizeAt + 1 + d[sizeAt] > length) continue;
        entity.controls.assign(d.begin() + static_cast<long>(sizeAt) + 1,
                               d.begin() + static_cast<long>(sizeAt) + 1 + d[sizeAt]);
        break;
      }
      default:
        continue;  // the header and anything else is no entity
    }
    vc->entities.push_back(std::move(entity));
  }
  return vc;
}

}  // namespace fcp::sim::windows
