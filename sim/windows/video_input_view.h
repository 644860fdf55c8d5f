// The virtual cameras seen as the platform's video input devices: a DevicePath and FriendlyName per
// camera, a filter whose kernel-streaming topology has one node per unit and terminal of the camera's
// video-control interface, and property requests on extension-unit nodes carried to the device as
// the UVC class requests the platform's UVC driver sends (SET_CUR / GET_CUR).
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "os/uvc_filter.h"
#include "os/video_inputs.h"

namespace fcp::sim::windows {

// How a control transfer on the device's default pipe ended.
enum class WireStatus { kOk, kStall, kNoDevice, kTimeout };
struct WireResult {
  WireStatus status = WireStatus::kOk;
  int transferred = 0;
};
// One control transfer: the 8 setup bytes as on the wire, and the data stage buffer (wLength bytes).
using ControlTransferFn = std::function<WireResult(const std::array<uint8_t, 8>& setup, std::span<uint8_t> data)>;

// One video input device: a camera's video-control function, or a software camera (no device path,
// no USB device behind it, no kernel-streaming interfaces).
struct VideoInputDevice {
  std::optional<std::wstring> device_path;  // none: a software camera
  std::wstring friendly_name;
  std::vector<uint8_t> configuration;  // the device's configuration descriptor
  ControlTransferFn control_transfer;
};

// The result codes the platform's UVC driver completes a failed class request with.
struct WireErrorCodes {
  HRESULT stall = os::HresultFromWin32(31);       // ERROR_GEN_FAILURE: the device stalled
  HRESULT no_device = os::HresultFromWin32(1167);  // ERROR_DEVICE_NOT_CONNECTED
  HRESULT timeout = os::HresultFromWin32(121);    // ERROR_SEM_TIMEOUT
};

class VideoInputView : public os::VideoInputs {
 public:
  // `devices` is asked for the current list at every enumeration (cameras come and go).
  explicit VideoInputView(std::function<std::vector<VideoInputDevice>()> devices, WireErrorCodes codes = {})
      : devices_(std::move(devices)), codes_(codes) {}

  HRESULT CreateVideoInputEnumerator(std::unique_ptr<os::MonikerEnumerator>& enumerator) override;

  // kLookFull: a GET_CUR that moved no data is answered as a full read of zeros, as Linux's UVC
  // driver does (so the Linux tool's view of a camera can be run here).
  void SetEmptyReads(os::EmptyReads empty_reads) { empty_reads_ = empty_reads; }

 private:
  std::function<std::vector<VideoInputDevice>()> devices_;
  WireErrorCodes codes_;
  os::EmptyReads empty_reads_ = os::EmptyReads::kReported;
};

}  // namespace fcp::sim::windows
