// The USB cameras that uvcvideo serves, as sysfs describes them: one record per video-control
// interface that has a capture node. Shared by the Linux video-input and registry adapters.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fcp::os {

struct UsbCameraInterface {
  std::string videoNode;       // "video0": /dev/video0
  std::string interfaceName;   // the interface's sysfs name, "1-3.2:1.0"
  std::string name;            // the video node's name
  uint8_t interfaceNumber = 0;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t bcdDevice = 0;
  unsigned bus = 0;
  std::vector<unsigned> ports;       // hub ports from the root hub down ("3.2" -> 3, 2)
  std::vector<uint8_t> descriptors;  // the device's descriptors: device, then each configuration
};

// The platform's names for a camera interface, so that the camera side finds the same device under
// the same identity on every platform: the DirectShow-style device path
// \\?\usb#vid_vvvv&pid_pppp&mi_ii#<interface name>#{capture category}\global, the device
// instance ID usb\vid_vvvv&pid_pppp&mi_ii\<interface name> that the path yields, and the location
// tail of six three-digit hub ports.
std::wstring DevicePathOf(const UsbCameraInterface& camera);
std::wstring InstanceIdOf(const UsbCameraInterface& camera);
std::wstring LocationOf(const UsbCameraInterface& camera);

class UsbCameraSysfs {
 public:
  explicit UsbCameraSysfs(std::string sysRoot = "/sys") : sysRoot_(std::move(sysRoot)) {}

  // Capture nodes of USB video-control interfaces, in video node order.
  std::vector<UsbCameraInterface> Cameras() const;
  // One USB interface by its sysfs name (any interface of a USB device, with or without a node).
  std::optional<UsbCameraInterface> Interface(const std::string& interfaceName) const;

 private:
  std::optional<UsbCameraInterface> ReadInterface(const std::string& interfaceDir) const;
  std::string sysRoot_;
};

}  // namespace fcp::os
