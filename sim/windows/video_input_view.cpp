#include "sim/windows/video_input_view.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

namespace fcp::sim::windows {
namespace {

constexpr HRESULT kNotFound = os::HresultFromWin32(1168);       // ERROR_NOT_FOUND
constexpr HRESULT kSetNotFound = os::HresultFromWin32(1170);    // ERROR_SET_NOT_FOUND
constexpr HRESULT kMoreData = os::HresultFromWin32(234);        // ERROR_MORE_DATA
constexpr HRESULT kNotSupported = os::HresultFromWin32(50);     // ERROR_NOT_SUPPORTED

constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kClassToInterface = 0x21;
constexpr uint8_t kClassFromInterface = 0xA1;
constexpr uint32_t kExtensionControlSize = 8;

// A device as one filter: its video-control interface, and its pipe.
struct Camera {
  VideoInputDevice device;
  VideoControlInterface vc;
  WireErrorCodes codes;
};

// Property requests addressed to extension-unit nodes, as class requests on the device's pipe.
class CameraKsControl : public os::KsControl {
 public:
  // `onlyNode`: a node instance answers for its own node only.
  CameraKsControl(std::shared_ptr<Camera> camera, std::optional<uint32_t> onlyNode)
      : camera_(std::move(camera)), onlyNode_(onlyNode) {}

  HRESULT KsProperty(const os::KspNode& property, uint32_t propertyLength, void* data, uint32_t dataLength,
                     uint32_t* bytesReturned) override {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (propertyLength < sizeof(os::KspNode) || (property.flags & os::kKsPropertyTypeTopology) == 0) {
      return E_INVALIDARG;
    }
    if (onlyNode_ && property.nodeId != *onlyNode_) return kNotFound;
    const auto& entities = camera_->vc.entities;
    if (property.nodeId >= entities.size()) return kNotFound;
    const VcEntity& unit = entities[property.nodeId];
    if (unit.kind != VcEntityKind::kExtensionUnit) return kNotFound;
    if (unit.extensionCode != property.set) return kSetNotFound;
    if (!unit.HasControl(property.id) || property.id > 0xFF) return kNotFound;

    const uint32_t type = property.flags & ~os::kKsPropertyTypeTopology;
    // The driver answers support queries from the unit's descriptor.
    if (type == os::kKsPropertyTypeSetSupport) return S_OK;
    if (type != os::kKsPropertyTypeGet && type != os::kKsPropertyTypeSet) return kNotSupported;
    if (data == nullptr || dataLength < kExtensionControlSize) return kMoreData;

    const bool get = type == os::kKsPropertyTypeGet;
    const uint16_t value = static_cast<uint16_t>(property.id << 8);
    const uint16_t index = static_cast<uint16_t>(unit.id << 8 | camera_->vc.interfaceNumber);
    const std::array<uint8_t, 8> setup = {get ? kClassFromInterface : kClassToInterface,
                                          get ? kGetCur : kSetCur,
                                          static_cast<uint8_t>(value),
                                          static_cast<uint8_t>(value >> 8),
                                          static_cast<uint8_t>(index),
                                          static_cast<uint8_t>(index >> 8),
                                          static_cast<uint8_t>(kExtensionControlSize),
                                          0};
    std::array<uint8_t, kExtensionControlSize> stage{};
    if (!get) std::memcpy(stage.data(), data, kExtensionControlSize);
    const WireResult result = camera_->device.controlTransfer(setup, stage);
    switch (result.status) {
      case WireStatus::kOk:
        break;
      case WireStatus::kStall:
        return camera_->codes.stall;
      case WireStatus::kNoDevice:
        return camera_->codes.noDevice;
      case WireStatus::kTimeout:
        return camera_->codes.timeout;
    }
    const uint32_t moved = static_cast<uint32_t>(std::clamp(result.transferred, 0, int(kExtensionControlSize)));
    if (get) std::memcpy(data, stage.data(), moved);
    if (bytesReturned != nullptr) *bytesReturned = get ? moved : 0;
    return S_OK;
  }

 private:
  std::shared_ptr<Camera> camera_;
  std::optional<uint32_t> onlyNode_;
};

class CameraTopology : public os::KsTopologyInfo {
 public:
  explicit CameraTopology(std::shared_ptr<Camera> camera) : camera_(std::move(camera)) {}
  HRESULT GetNumNodes(uint32_t& count) override {
    count = static_cast<uint32_t>(camera_->vc.entities.size());
    return S_OK;
  }
  HRESULT GetNodeType(uint32_t node, os::Guid& type) override {
    if (node >= camera_->vc.entities.size()) return E_INVALIDARG;
    type = NodeTypeOf(camera_->vc.entities[node]);
    return S_OK;
  }
  HRESULT CreateNodeInstance(uint32_t node, std::unique_ptr<os::KsControl>& control) override {
    if (node >= camera_->vc.entities.size()) return E_INVALIDARG;
    control = std::make_unique<CameraKsControl>(camera_, node);
    return S_OK;
  }

 private:
  std::shared_ptr<Camera> camera_;
};

class CameraFilter : public os::VideoFilter {
 public:
  explicit CameraFilter(std::shared_ptr<Camera> camera) : camera_(std::move(camera)) {}
  HRESULT QueryKsControl(std::unique_ptr<os::KsControl>& control) override {
    control = std::make_unique<CameraKsControl>(camera_, std::nullopt);
    return S_OK;
  }
  HRESULT QueryTopologyInfo(std::unique_ptr<os::KsTopologyInfo>& topology) override {
    topology = std::make_unique<CameraTopology>(camera_);
    return S_OK;
  }

 private:
  std::shared_ptr<Camera> camera_;
};

class CameraProperties : public os::PropertyBag {
 public:
  explicit CameraProperties(std::shared_ptr<Camera> camera) : camera_(std::move(camera)) {}
  HRESULT Read(const wchar_t* name, std::wstring& value) override {
    const std::wstring_view key = name != nullptr ? name : L"";
    if (key == L"DevicePath") value = camera_->device.devicePath;
    else if (key == L"FriendlyName") value = camera_->device.friendlyName;
    else return E_INVALIDARG;
    return S_OK;
  }

 private:
  std::shared_ptr<Camera> camera_;
};

class CameraMoniker : public os::DeviceMoniker {
 public:
  explicit CameraMoniker(std::shared_ptr<Camera> camera) : camera_(std::move(camera)) {}
  HRESULT BindToStorage(std::unique_ptr<os::PropertyBag>& bag) override {
    bag = std::make_unique<CameraProperties>(camera_);
    return S_OK;
  }
  HRESULT BindToObject(std::unique_ptr<os::VideoFilter>& filter) override {
    filter = std::make_unique<CameraFilter>(camera_);
    return S_OK;
  }

 private:
  std::shared_ptr<Camera> camera_;
};

class CameraEnumerator : public os::MonikerEnumerator {
 public:
  explicit CameraEnumerator(std::vector<std::shared_ptr<Camera>> cameras) : cameras_(std::move(cameras)) {}
  HRESULT Reset() override {
    next_ = 0;
    return S_OK;
  }
  HRESULT Skip(uint32_t count) override {
    const size_t left = cameras_.size() - next_;
    next_ += std::min<size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT Next(std::unique_ptr<os::DeviceMoniker>& moniker) override {
    if (next_ >= cameras_.size()) return S_FALSE;
    moniker = std::make_unique<CameraMoniker>(cameras_[next_++]);
    return S_OK;
  }

 private:
  std::vector<std::shared_ptr<Camera>> cameras_;
  size_t next_ = 0;
};

}  // namespace

os::Guid NodeTypeOf(const VcEntity& entity) {
  constexpr uint16_t kStreamingTerminal = 0x0101;
  constexpr uint16_t kCameraTerminal = 0x0201;
  switch (entity.kind) {
    case VcEntityKind::kInputTerminal:
      return entity.terminalType == kCameraTerminal ? os::GuidOf("{DFF229E6-F70F-11D0-B917-00A0C9223196}")
                                                    : os::GuidOf("{DFF229E2-F70F-11D0-B917-00A0C9223196}");
    case VcEntityKind::kOutputTerminal:
      return entity.terminalType == kStreamingTerminal ? os::GuidOf("{DFF229E1-F70F-11D0-B917-00A0C9223196}")
                                                       : os::GuidOf("{DFF229E3-F70F-11D0-B917-00A0C9223196}");
    case VcEntityKind::kSelectorUnit:
      return os::GuidOf("{DFF229E4-F70F-11D0-B917-00A0C9223196}");
    case VcEntityKind::kProcessingUnit:
      return os::GuidOf("{DFF229E5-F70F-11D0-B917-00A0C9223196}");
    case VcEntityKind::kExtensionUnit:
      return os::kKsNodeTypeDevSpecific;
  }
  return {};
}

HRESULT VideoInputView::CreateVideoInputEnumerator(std::unique_ptr<os::MonikerEnumerator>& enumerator) {
  std::vector<std::shared_ptr<Camera>> cameras;
  for (VideoInputDevice& device : devices_()) {
    auto vc = ParseVideoControl(device.configuration);
    if (!vc) continue;  // no video-control interface: not a video input
    cameras.push_back(std::make_shared<Camera>(Camera{std::move(device), std::move(*vc), codes_}));
  }
  // The system's enumerator makes no enumerator for an empty category.
  if (cameras.empty()) return S_FALSE;
  enumerator = std::make_unique<CameraEnumerator>(std::move(cameras));
  return S_OK;
}

}  // namespace fcp::sim::windows
