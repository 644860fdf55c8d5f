#include "sim/windows/video_input_view.h"

#include <algorithm>
#include <memory>

#include "os/uvc_filter.h"

namespace fcp::sim::windows {
namespace {

constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kClassToInterface = 0x21;
constexpr uint8_t kClassFromInterface = 0xA1;

struct Camera {
  VideoInputDevice device;
  std::optional<os::VideoControlInterface> vc;  // none: a software camera
  WireErrorCodes codes;
  os::EmptyReads empty_reads;
};

// What the platform binds for a camera without a kernel-streaming driver.
class SoftwareCameraFilter : public os::VideoFilter {
 public:
  HRESULT QueryKsControl(std::unique_ptr<os::KsControl>&) override { return E_NOINTERFACE; }
  HRESULT QueryTopologyInfo(std::unique_ptr<os::KsTopologyInfo>&) override { return E_NOINTERFACE; }
};

// The platform's property bag leaves a property that the device does not have unread.
constexpr HRESULT kNoSuchProperty = os::HresultFromWin32(2);  // ERROR_FILE_NOT_FOUND

// The class request as it goes on the wire, and its outcome as the driver reports it.
os::UvcTransport WireTransport(std::shared_ptr<Camera> camera) {
  return [camera](const os::UvcControlRequest& request, std::span<uint8_t, os::kUvcExtensionControlSize> data,
                  uint32_t& received) -> HRESULT {
    const uint16_t value = static_cast<uint16_t>(request.selector << 8);
    const uint16_t index = static_cast<uint16_t>(request.unit_id << 8 | request.interface_number);
    const std::array<uint8_t, 8> setup = {request.get ? kClassFromInterface : kClassToInterface,
                                          request.get ? kGetCur : kSetCur,
                                          static_cast<uint8_t>(value),
                                          static_cast<uint8_t>(value >> 8),
                                          static_cast<uint8_t>(index),
                                          static_cast<uint8_t>(index >> 8),
                                          static_cast<uint8_t>(os::kUvcExtensionControlSize),
                                          0};
    const WireResult result = camera->device.control_transfer(setup, data);
    switch (result.status) {
      case WireStatus::kOk:
        received = static_cast<uint32_t>(std::clamp(result.transferred, 0, int(os::kUvcExtensionControlSize)));
        if (request.get && received == 0 && camera->empty_reads == os::EmptyReads::kLookFull) {
          std::fill(data.begin(), data.end(), uint8_t{0});
          received = os::kUvcExtensionControlSize;
        }
        return S_OK;
      case WireStatus::kStall:
        return camera->codes.stall;
      case WireStatus::kNoDevice:
        return camera->codes.no_device;
      case WireStatus::kTimeout:
        return camera->codes.timeout;
    }
    return E_FAIL;
  };
}

class CameraProperties : public os::PropertyBag {
 public:
  explicit CameraProperties(std::shared_ptr<Camera> camera) : camera_(std::move(camera)) {}
  HRESULT Read(const wchar_t* name, std::wstring& value) override {
    const std::wstring_view key = name != nullptr ? name : L"";
    if (key == L"DevicePath") {
      if (!camera_->device.device_path) return kNoSuchProperty;
      value = *camera_->device.device_path;
    } else if (key == L"FriendlyName") {
      value = camera_->device.friendly_name;
    } else {
      return E_INVALIDARG;
    }
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
    if (camera_->vc) {
      filter = os::MakeUvcFilter(*camera_->vc, WireTransport(camera_), camera_->empty_reads);
    } else {
      filter = std::make_unique<SoftwareCameraFilter>();
    }
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

HRESULT VideoInputView::CreateVideoInputEnumerator(std::unique_ptr<os::MonikerEnumerator>& enumerator) {
  std::vector<std::shared_ptr<Camera>> cameras;
  for (VideoInputDevice& device : devices_()) {
    std::optional<os::VideoControlInterface> vc;
    if (device.device_path) {
      vc = os::ParseVideoControl(device.configuration);
      if (!vc) continue;  // no video-control interface: not a video input
    }
    cameras.push_back(std::make_shared<Camera>(Camera{std::move(device), std::move(vc), codes_, empty_reads_}));
  }
  // The system's enumerator makes no enumerator for an empty category.
  if (cameras.empty()) return S_FALSE;
  enumerator = std::make_unique<CameraEnumerator>(std::move(cameras));
  return S_OK;
}

}  // namespace fcp::sim::windows
