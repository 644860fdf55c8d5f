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
  return text::UsbInterfaceInstanceId(camera.vendorId, camera.productId, camera.interfaceNumber,
                                      text::WidenBytes(camera.interfaceName));
}

std::wstring DevicePathOf(const UsbCameraInterface& camera) { return text::CaptureInterfacePath(InstanceIdOf(camera)); }

std::wstring LocationInformationOf(const UsbCameraInterface& camera) {
  wchar_t hostController[32];
  std::swprintf(hostController, std::size(hostController), L"%04u.0000.0000", camera.bus);
  return text::UsbLocationInformation(hostController, camera.ports);
}

std::optional<UsbCameraInterface> UsbCameraSysfs::ReadInterface(const std::string& interfaceDir) const {
  const fs::path dir = interfaceDir;
  const fs::path device = dir.parent_path();
  const auto number = ReadNumber(dir / "bInterfaceNumber", 16);
  const auto vid = ReadNumber(device / "idVendor", 16);
  const auto pid = ReadNumber(device / "idProduct", 16);
  if (!number || !vid || !pid) return std::nullopt;
  UsbCameraInterface camera;
  camera.interfaceName = dir.filename().string();
  camera.interfaceNumber = static_cast<uint8_t>(*number);
  camera.vendorId = static_cast<uint16_t>(*vid);
  camera.productId = static_cast<uint16_t>(*pid);
  camera.bcdDevice = static_cast<uint16_t>(ReadNumber(device / "bcdDevice", 16).value_or(0));
  camera.bus = static_cast<unsigned>(ReadNumber(device / "busnum", 10).value_or(0));
  camera.ports = PortsOf(ReadText(device / "devpath").value_or(""));
  camera.descriptors = ReadBytes(device / "descriptors");
  return camera;
}

std::vector<UsbCameraInterface> UsbCameraSysfs::Cameras() const {
  std::vector<UsbCameraInterface> cameras;
  std::error_code error;
  const fs::path classDir = fs::path(sysRoot_) / "class" / "video4linux";
  for (const auto& entry : fs::directory_iterator(classDir, error)) {
    const fs::path node = entry.path();
    // uvcvideo gives each interface a capture node (index 0) and a metadata node.
    if (ReadNumber(node / "index", 10).value_or(1) != 0) continue;
    const fs::path interfaceDir = fs::canonical(node / "device", error);
    if (error) continue;
    if (ReadNumber(interfaceDir / "bInterfaceClass", 16) != 0x0Eul ||
        ReadNumber(interfaceDir / "bInterfaceSubClass", 16) != 0x01ul) {
      continue;
    }
    auto camera = ReadInterface(interfaceDir.string());
    if (!camera) continue;
    camera->videoNode = node.filename().string();
    camera->name = ReadText(node / "name").value_or("");
    cameras.push_back(std::move(*camera));
  }
  std::sort(cameras.begin(), cameras.end(),
            [](const auto& a, const auto& b) { return NodeNumber(a.videoNode) < NodeNumber(b.videoNode); });
  return cameras;
}

std::optional<UsbCameraInterface> UsbCameraSysfs::Interface(const std::string& interfaceName) const {
  if (interfaceName.empty() || interfaceName.find('/') != std::string::npos || interfaceName.find(':') == std::string::npos) {
    return std::nullopt;
  }
  std::error_code error;
  const fs::path dir = fs::canonical(fs::path(sysRoot_) / "bus" / "usb" / "devices" / interfaceName, error);
  if (error) return std::nullopt;
  return ReadInterface(dir.string());
}

}  // namespace fcp::os
