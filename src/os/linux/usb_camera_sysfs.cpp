#include "os/linux/usb_camera_sysfs.h"

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

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
std::vector<unsigned> PortsOf(const std::string& devpath) {
  std::vector<unsigned> ports;
  std::istringstream in(devpath);
  for (std::string part; std::getline(in, part, '.');) {
    const unsigned long port = std::strtoul(part.c_str(), nullptr, 10);
    if (port != 0) ports.push_back(static_cast<unsigned>(port));
  }
  return ports;
}

unsigned NodeNumber(const std::string& node) {
  return static_cast<unsigned>(std::strtoul(node.c_str() + std::min<size_t>(node.size(), 5), nullptr, 10));
}

std::wstring Widened(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

std::wstring InstanceIdOf(const UsbCameraInterface& camera) {
  wchar_t ids[40];
  std::swprintf(ids, std::size(ids), L"usb\\vid_%04x&pid_%04x&mi_%02x\\", camera.vendorId, camera.productId,
                camera.interfaceNumber);
  return ids + Widened(camera.interfaceName);
}

std::wstring DevicePathOf(const UsbCameraInterface& camera) {
  std::wstring id = InstanceIdOf(camera);
  std::replace(id.begin(), id.end(), L'\\', L'#');
  return L"\\\\?\\" + id + L"#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";
}

std::wstring LocationOf(const UsbCameraInterface& camera) {
  unsigned ports[6] = {};
  std::copy_n(camera.ports.begin(), std::min<size_t>(6, camera.ports.size()), ports);
  wchar_t text[64];
  std::swprintf(text, std::size(text), L"%03u.%03u.%03u.%03u.%03u.%03u", ports[0], ports[1], ports[2], ports[3],
                ports[4], ports[5]);
  return text;
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
