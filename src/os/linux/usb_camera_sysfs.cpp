#include "os/linux/usb_camera_sysfs.h"

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "text/usb_device_names.h"
#include "text/widening.h"

namespace fcp::os {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> ReadText(const fs::path& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  std::string text;
  std::getline(in, text);
  return text;
}

std::optional<unsigned long> ReadNumber(const fs::path& file, int base) {
  const auto text = ReadText(file);
  if (!text || text->empty()) return std::nullopt;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text->c_str(), &end, base);
  if (end == text->c_str()) return std::nullopt;
  return value;
}

std::vector<uint8_t> ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// "3.2" -> {3, 2}; the root hub's devpath "0" -> {}.
std::vector<uint8_t> PortsOf(const std::string& devpath) {
  std::vector<uint8_t> ports;
  std::istringstream in(devpath);
  for (std::string part; std::getline(in, part, '.');) {
    const unsigned long port = std::strtoul(part.c_str(), nullptr, 10);
    if (port != 0) ports.push_back(static_cast<uint8_t>(port));  // a hub has at most 255 ports
  }
  return ports;
}

unsigned NodeNumber(const std::string& node) {
  return static_cast<unsigned>(std::strtoul(node.c_str() + std::min<size_t>(node.size(), 5), nullptr, 10));
}

}  // namespace

std::wstring InstanceIdOf(const UsbCameraInterface& camera) {
  return text::UsbInterfaceInstanceId(camera.vendor_id, camera.product_id, camera.interface_number,
                                      text::WidenBytes(camera.interface_name));
}

std::wstring DevicePathOf(const UsbCameraInterface& camera) { return text::CaptureInterfacePath(InstanceIdOf(camera)); }

std::wstring LocationInformationOf(const UsbCameraInterface& camera) {
  wchar_t host_controller[32];
  std::swprintf(host_controller, std::size(host_controller), L"%04u.0000.0000", camera.bus);
  return text::UsbLocationInformation(host_controller, camera.ports);
}

std::optional<UsbCameraInterface> UsbCameraSysfs::ReadInterface(const std::string& interface_dir) const {
  const fs::path dir = interface_dir;
  const fs::path device = dir.parent_path();
  const auto number = ReadNumber(dir / "bInterfaceNumber", 16);
  const auto vid = ReadNumber(device / "idVendor", 16);
  const auto pid = ReadNumber(device / "idProduct", 16);
  if (!number || !vid || !pid) return std::nullopt;
  UsbCameraInterface camera;
  camera.interface_name = dir.filename().string();
  camera.interface_number = static_cast<uint8_t>(*number);
  camera.vendor_id = static_cast<uint16_t>(*vid);
  camera.product_id = static_cast<uint16_t>(*pid);
  camera.bcdDevice = static_cast<uint16_t>(ReadNumber(device / "bcdDevice", 16).value_or(0));
  camera.bus = static_cast<unsigned>(ReadNumber(device / "busnum", 10).value_or(0));
  camera.ports = PortsOf(ReadText(device / "devpath").value_or(""));
  camera.descriptors = ReadBytes(device / "descriptors");
  return camera;
}

std::vector<UsbCameraInterface> UsbCameraSysfs::Cameras() const {
  std::vector<UsbCameraInterface> cameras;
  std::error_code error;
  const fs::path class_dir = fs::path(sys_root_) / "class" / "video4linux";
  for (const auto& entry : fs::directory_iterator(class_dir, error)) {
    const fs::path node = entry.path();
    // uvcvideo gives each interface a capture node (index 0) and a metadata node.
    if (ReadNumber(node / "index", 10).value_or(1) != 0) continue;
    const fs::path interface_dir = fs::canonical(node / "device", error);
    if (error) continue;
    if (ReadNumber(interface_dir / "bInterfaceClass", 16) != 0x0Eul ||
        ReadNumber(interface_dir / "bInterfaceSubClass", 16) != 0x01ul) {
      continue;
    }
    auto camera = ReadInterface(interface_dir.string());
    if (!camera) continue;
    camera->video_node = node.filename().string();
    camera->name = ReadText(node / "name").value_or("");
    cameras.push_back(std::move(*camera));
  }
  std::sort(cameras.begin(), cameras.end(),
            [](const auto& a, const auto& b) { return NodeNumber(a.video_node) < NodeNumber(b.video_node); });
  return cameras;
}

std::optional<UsbCameraInterface> UsbCameraSysfs::Interface(const std::string& interface_name) const {
  if (interface_name.empty() || interface_name.find('/') != std::string::npos || interface_name.find(':') == std::string::npos) {
    return std::nullopt;
  }
  std::error_code error;
  const fs::path dir = fs::canonical(fs::path(sys_root_) / "bus" / "usb" / "devices" / interface_name, error);
  if (error) return std::nullopt;
  return ReadInterface(dir.string());
}

}  // namespace fcp::os
