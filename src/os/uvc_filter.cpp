#include "os/uvc_filter.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace fcp::os {
namespace {

inline constexpr HRESULT kNotFound = HresultFromWin32(1168);      // ERROR_NOT_FOUND
inline constexpr HRESULT kSetNotFound = HresultFromWin32(1170);   // ERROR_SET_NOT_FOUND
inline constexpr HRESULT kMoreData = HresultFromWin32(234);       // ERROR_MORE_DATA
inline constexpr HRESULT kNotSupported = HresultFromWin32(50);    // ERROR_NOT_SUPPORTED

struct Filter {
  VideoControlInterface vc;
  UvcTransport transport;
  EmptyReads empty_reads;
};

class Control : public KsControl {
 public:
  // `only_node`: a node instance answers for its own node only.
  Control(std::shared_ptr<Filter> filter, std::optional<uint32_t> only_node)
      : filter_(std::move(filter)), only_node_(only_node) {}

  HRESULT KsProperty(const KspNode& property, uint32_t property_length, void* data, uint32_t data_length,
                     uint32_t* bytes_returned) override {
    if (bytes_returned != nullptr) *bytes_returned = 0;
    if (property_length < sizeof(KspNode) || (property.flags & kKsPropertyTypeTopology) == 0) return E_INVALIDARG;
    if (only_node_ && property.node_id != *only_node_) return kNotFound;
    const auto& entities = filter_->vc.entities;
    if (property.node_id >= entities.size()) return kNotFound;
    const VcEntity& unit = entities[property.node_id];
    if (unit.kind != VcEntityKind::kExtensionUnit) return kNotFound;
    if (unit.extension_code != property.set) return kSetNotFound;
    if (!unit.HasControl(property.id) || property.id > 0xFF) return kNotFound;

    const uint32_t type = property.flags & ~kKsPropertyTypeTopology;
    if (type == kKsPropertyTypeSetSupport) return S_OK;  // from the unit's descriptor
    if (type != kKsPropertyTypeGet && type != kKsPropertyTypeSet) return kNotSupported;
    if (data == nullptr || data_length < kUvcExtensionControlSize) return kMoreData;

    const UvcControlRequest request{type == kKsPropertyTypeGet, unit.id, static_cast<uint8_t>(property.id),
                                    filter_->vc.interface_number};
    std::array<uint8_t, kUvcExtensionControlSize> stage{};
    if (!request.get) std::memcpy(stage.data(), data, stage.size());
    uint32_t received = 0;
    const HRESULT result = filter_->transport(request, stage, received);
    if (FAILED(result)) return result;
    if (request.get) {
      received = std::min<uint32_t>(received, kUvcExtensionControlSize);
      std::memcpy(data, stage.data(), received);
      if (bytes_returned != nullptr) *bytes_returned = received;
    }
    return result;
  }
  bool ReportsEmptyReads() const override { return filter_->empty_reads == EmptyReads::kReported; }

 private:
  std::shared_ptr<Filter> filter_;
  std::optional<uint32_t> only_node_;
};

class Topology : public KsTopologyInfo {
 public:
  explicit Topology(std::shared_ptr<Filter> filter) : filter_(std::move(filter)) {}
  HRESULT GetNumNodes(uint32_t& count) override {
    count = static_cast<uint32_t>(filter_->vc.entities.size());
    return S_OK;
  }
  HRESULT GetNodeType(uint32_t node, text::Guid& type) override {
    if (node >= filter_->vc.entities.size()) return E_INVALIDARG;
    type = NodeTypeOf(filter_->vc.entities[node]);
    return S_OK;
  }
  HRESULT CreateNodeInstance(uint32_t node, std::unique_ptr<KsControl>& control) override {
    if (node >= filter_->vc.entities.size()) return E_INVALIDARG;
    control = std::make_unique<Control>(filter_, node);
    return S_OK;
  }

 private:
  std::shared_ptr<Filter> filter_;
};

class UvcVideoFilter : public VideoFilter {
 public:
  explicit UvcVideoFilter(std::shared_ptr<Filter> filter) : filter_(std::move(filter)) {}
  HRESULT QueryKsControl(std::unique_ptr<KsControl>& control) override {
    control = std::make_unique<Control>(filter_, std::nullopt);
    return S_OK;
  }
  HRESULT QueryTopologyInfo(std::unique_ptr<KsTopologyInfo>& topology) override {
    topology = std::make_unique<Topology>(filter_);
    return S_OK;
  }

 private:
  std::shared_ptr<Filter> filter_;
};

}  // namespace

bool VcEntity::HasControl(uint32_t control) const {
  if (control == 0 || (control - 1) / 8 >= controls.size()) return false;
  return (controls[(control - 1) / 8] >> ((control - 1) % 8) & 1) != 0;
}

std::optional<VideoControlInterface> ParseVideoControl(std::span<const uint8_t> configuration,
                                                       std::optional<uint8_t> interface_number) {
  constexpr uint8_t kInterfaceDescriptor = 0x04;
  constexpr uint8_t kCsInterface = 0x24;
  std::optional<VideoControlInterface> vc;
  bool inside = false;
  for (size_t at = 0; at + 2 <= configuration.size();) {
    const uint8_t length = configuration[at];
    if (length < 2 || at + length > configuration.size()) break;
    const std::span<const uint8_t> d = configuration.subspan(at, length);
    at += length;
    if (d[1] == kInterfaceDescriptor && length >= 9) {
      if (inside) break;  // the entities of the interface are complete
      if (d[5] == 0x0E && d[6] == 0x01 && d[3] == 0 && (!interface_number || *interface_number == d[2])) {
        vc.emplace();
        vc->interface_number = d[2];
        inside = true;
      }
      continue;
    }
    if (!inside || d[1] != kCsInterface || length < 4) continue;
    VcEntity entity;
    entity.kind = static_cast<VcEntityKind>(d[2]);
    entity.id = d[3];
    switch (entity.kind) {
      case VcEntityKind::kInputTerminal:
      case VcEntityKind::kOutputTerminal:
        if (length < 6) continue;
        entity.terminal_type = static_cast<uint16_t>(d[4] | d[5] << 8);
        break;
      case VcEntityKind::kSelectorUnit:
      case VcEntityKind::kProcessingUnit:
        break;
      case VcEntityKind::kExtensionUnit: {
        // bUnitID, guidExtensionCode[16], bNumControls, bNrInPins, baSourceID[p], bControlSize, bmControls[n]
        if (length < 22) continue;
        entity.extension_code = text::Guid::FromBytes(d.data() + 4);
        const size_t size_at = 22 + size_t{d[21]};
        if (size_at >= length || size_at + 1 + d[size_at] > length) continue;
        entity.controls.assign(d.begin() + static_cast<std::ptrdiff_t>(size_at) + 1,
                               d.begin() + static_cast<std::ptrdiff_t>(size_at) + 1 + d[size_at]);
        break;
      }
      default:
        continue;  // the header, and anything else, is no entity
    }
    vc->entities.push_back(std::move(entity));
  }
  return vc;
}

text::Guid NodeTypeOf(const VcEntity& entity) {
  constexpr uint16_t kStreamingTerminal = 0x0101;
  constexpr uint16_t kCameraTerminal = 0x0201;
  switch (entity.kind) {
    case VcEntityKind::kInputTerminal:
      return entity.terminal_type == kCameraTerminal ? text::GuidOf("{DFF229E6-F70F-11D0-B917-00A0C9223196}")   // camera terminal
                                                    : text::GuidOf("{DFF229E2-F70F-11D0-B917-00A0C9223196}");  // input terminal
    case VcEntityKind::kOutputTerminal:
      return entity.terminal_type == kStreamingTerminal ? text::GuidOf("{DFF229E1-F70F-11D0-B917-00A0C9223196}")   // streaming
                                                       : text::GuidOf("{DFF229E3-F70F-11D0-B917-00A0C9223196}");  // output terminal
    case VcEntityKind::kSelectorUnit:
      return text::GuidOf("{DFF229E4-F70F-11D0-B917-00A0C9223196}");
    case VcEntityKind::kProcessingUnit:
      return text::GuidOf("{DFF229E5-F70F-11D0-B917-00A0C9223196}");
    case VcEntityKind::kExtensionUnit:
      return kKsNodeTypeDevSpecific;
  }
  return {};
}

std::unique_ptr<VideoFilter> MakeUvcFilter(VideoControlInterface vc, UvcTransport transport, EmptyReads empty_reads) {
  return std::make_unique<UvcVideoFilter>(
      std::make_shared<Filter>(Filter{std::move(vc), std::move(transport), empty_reads}));
}

}  // namespace fcp::os
