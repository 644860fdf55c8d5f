// The USB cameras that uvcvideo serves, as sysfs describes them: one record per video-control
// interface that has a capture node. Shared by the Linux video-input and registry adapters.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fcp::os {

struct UsbCameraInterface {
  std::string video_node;       // "video0": /dev/video0
  std::string interface_name;   // the interface's sysfs name, "1-3.2:1.0"
  std::string name;            // the video node's name, UTF-8 as the kernel writes it
  uint8_t interface_number = 0;
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  uint16_t bcdDevice = 0;
  unsigned bus = 0;
  std::vector<uint8_t> ports;        // hub ports from the root hub down ("3.2" -> 3, 2)
  std::vector<uint8_t> descriptors;  // the device's descriptors: device, then each configuration
};

// The platform's names for a camera interface (text/usb_device_names.h), so that the camera side finds
// the same device under the same identity on every platform: the device instance ID
// USB\VID_vvvv&PID_pppp&MI_ii\<interface name>, the path of its capture interface
// \\?\usb#vid_vvvv&pid_pppp&mi_ii#<interface name>#{capture category}\global, and the location
// information, where the bus number stands for the host controller ("0001.0000.0000.003.002...").
std::wstring InstanceIdOf(const UsbCameraInterface& camera);
std::wstring DevicePathOf(const UsbCameraInterface& camera);
std::wstring LocationInformationOf(const UsbCameraInterface& camera);

class UsbCameraSysfs {
 public:
  explicit UsbCameraSysfs(std::string sys_root = "/sys") : sys_root_(std::move(sys_root)) {}

  // Capture nodes of USB video-control interfaces, in video node order.
  std::vector<UsbCameraInterface> Cameras() const;
  // One USB interface by its sysfs name (any interface of a USB device, with or without a node).
  std::optional<UsbCameraInterface> Interface(const std::string& interface_name) const;

 private:
  std::optional<UsbCameraInterface> ReadInterface(const std::string& interface_dir) const;
  std::string sys_root_;
};

}  // namespace fcp::os
