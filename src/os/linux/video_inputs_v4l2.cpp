#include "os/linux/video_inputs_v4l2.h"

#include <fcntl.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <span>
#include <vector>

#include "os/linux/usb_camera_sysfs.h"
#include "os/uvc_filter.h"
#include "text/widening.h"

namespace fcp::os {
namespace {

// errno of a failed open or request as the result code the platform's UVC driver gives.
HRESULT ResultOfErrno(int error) {
  switch (error) {
    case ENODEV:
    case ENXIO:
    case ESHUTDOWN:
      return HresultFromWin32(1167);  // ERROR_DEVICE_NOT_CONNECTED
    case ETIMEDOUT:
      return HresultFromWin32(121);  // ERROR_SEM_TIMEOUT
    case ENOENT:
      return HresultFromWin32(1168);  // ERROR_NOT_FOUND: no such unit or control
    case EACCES:
    case EPERM:
      return HresultFromWin32(5);  // ERROR_ACCESS_DENIED
    case ENOMEM:
      return E_OUTOFMEMORY;
    default:
      // The device failed the request. A stall reaches here as EPIPE (uvcvideo on Debian's kernel,
      // also when the unit's error-code control stalls too): ERROR_GEN_FAILURE, as the platform's
      // UVC driver reports a stall, so that no recovery follows it.
      return HresultFromWin32(31);  // ERROR_GEN_FAILURE
  }
}

struct OpenNode {
  int fd = -1;
  ~OpenNode() {
    if (fd >= 0) ::close(fd);
  }
};

UvcTransport IoctlTransport(std::shared_ptr<OpenNode> node) {
  return [node](const UvcControlRequest& request, std::span<uint8_t, kUvcExtensionControlSize> data,
                uint32_t& received) -> HRESULT {
    uvc_xu_control_query query{};
    query.unit = request.unit_id;
    query.selector = request.selector;
    query.query = request.get ? UVC_GET_CUR : UVC_SET_CUR;
    query.size = static_cast<__u16>(data.size());
    query.data = data.data();
    int result;
    do {
      result = ::ioctl(node->fd, UVCIOC_CTRL_QUERY, &query);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return ResultOfErrno(errno);
    // uvcvideo answers a transfer that moved fewer bytes than asked with the count it moved (Debian's
    // kernel), or with 0 when it moved none, the same answer as a full transfer: the filter is made
    // with EmptyReads::kLookFull for that. A write that moved less failed.
    if (!request.get) return result == 0 ? S_OK : HresultFromWin32(24);  // ERROR_BAD_LENGTH
    received = result > 0 && static_cast<size_t>(result) < data.size() ? static_cast<uint32_t>(result)
                                                                          : static_cast<uint32_t>(data.size());
    return S_OK;
  };
}

class V4l2Properties : public PropertyBag {
 public:
  explicit V4l2Properties(const UsbCameraInterface& camera) : camera_(camera) {}
  HRESULT Read(const wchar_t* name, std::wstring& value) override {
    const std::wstring_view key = name != nullptr ? name : L"";
    if (key == L"DevicePath") {
      value = DevicePathOf(camera_);
    } else if (key == L"FriendlyName") {
      value = text::WidenUtf8(camera_.name);
    } else {
      return E_INVALIDARG;
    }
    return S_OK;
  }

 private:
  UsbCameraInterface camera_;
};

class V4l2Moniker : public DeviceMoniker {
 public:
  V4l2Moniker(UsbCameraInterface camera, std::string dev_root) : camera_(std::move(camera)), dev_root_(std::move(dev_root)) {}
  HRESULT BindToStorage(std::unique_ptr<PropertyBag>& bag) override {
    bag = std::make_unique<V4l2Properties>(camera_);
    return S_OK;
  }
  HRESULT BindToObject(std::unique_ptr<VideoFilter>& filter) override {
    auto vc = ParseVideoControl(camera_.descriptors, camera_.interface_number);
    if (!vc) return E_NOINTERFACE;
    auto node = std::make_shared<OpenNode>();
    const std::string path = dev_root_ + "/" + camera_.video_node;
    node->fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (node->fd < 0) {
      // A node the user may not open comes back as ERROR_ACCESS_DENIED: the camera side tells the
      // operator.
      const int error = errno;
      return error == ENOENT ? HresultFromWin32(ERROR_FILE_NOT_FOUND) : ResultOfErrno(error);
    }
    filter = MakeUvcFilter(std::move(*vc), IoctlTransport(std::move(node)), EmptyReads::kLookFull);
    return S_OK;
  }

 private:
  UsbCameraInterface camera_;
  std::string dev_root_;
};

class V4l2Enumerator : public MonikerEnumerator {
 public:
  V4l2Enumerator(std::vector<UsbCameraInterface> cameras, std::string dev_root)
      : cameras_(std::move(cameras)), dev_root_(std::move(dev_root)) {}
  HRESULT Reset() override {
    next_ = 0;
    return S_OK;
  }
  HRESULT Skip(uint32_t count) override {
    const size_t left = cameras_.size() - next_;
    next_ += std::min<size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT Next(std::unique_ptr<DeviceMoniker>& moniker) override {
    if (next_ >= cameras_.size()) return S_FALSE;
    moniker = std::make_unique<V4l2Moniker>(cameras_[next_++], dev_root_);
    return S_OK;
  }

 private:
  std::vector<UsbCameraInterface> cameras_;
  std::string dev_root_;
  size_t next_ = 0;
};

class V4l2Inputs : public VideoInputs {
 public:
  V4l2Inputs(std::string sys_root, std::string dev_root) : sysfs_(std::move(sys_root)), dev_root_(std::move(dev_root)) {}
  HRESULT CreateVideoInputEnumerator(std::unique_ptr<MonikerEnumerator>& enumerator) override {
    auto cameras = sysfs_.Cameras();
    if (cameras.empty()) return S_FALSE;
    enumerator = std::make_unique<V4l2Enumerator>(std::move(cameras), dev_root_);
    return S_OK;
  }

 private:
  UsbCameraSysfs sysfs_;
  std::string dev_root_;
};

}  // namespace

VideoInputs& V4l2VideoInputs() {
  static V4l2Inputs instance("/sys", "/dev");
  return instance;
}

std::unique_ptr<VideoInputs> MakeV4l2VideoInputs(const std::string& sys_root, const std::string& dev_root) {
  return std::make_unique<V4l2Inputs>(sys_root, dev_root);
}

}  // namespace fcp::os
