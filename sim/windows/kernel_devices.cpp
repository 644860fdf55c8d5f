#include "sim/windows/kernel_devices.h"

#include <cwchar>

namespace fcp::sim::windows {
namespace {

constexpr DWORD kErrorFileNotFound = 2;

std::u16string Utf16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

// "{xxxxxxxx-...}" in lower case, as the kernel reports a device's class.
std::u16string ClassText(const os::Guid& g) {
  wchar_t text[40];
  std::swprintf(text, std::size(text), L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.data1, g.data2, g.data3,
                g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  return Utf16(text);
}

std::vector<std::u16string> HardwareIds(const UsbDevice& device, const wchar_t* suffix) {
  wchar_t full[64], shorter[64];
  std::swprintf(full, std::size(full), L"USB\\VID_%04X&PID_%04X&REV_%04X%ls", device.vendor_id(), device.product_id(),
                device.bcd_device(), suffix);
  std::swprintf(shorter, std::size(shorter), L"USB\\VID_%04X&PID_%04X%ls", device.vendor_id(), device.product_id(), suffix);
  return {Utf16(full), Utf16(shorter)};
}

}  // namespace

void KernelDevices::ServeInterfaceFiles(DeviceTreeView& view) {
  view.set_interface_files([this](const DeviceNode& node, DWORD& error) { return Open(node, error); },
                           [this](os::InterfaceHandle handle) { Close(handle); });
}

KernelDevices::Plugged& KernelDevices::Plug(const DeviceNode& node) {
  Plugged& plugged = plugged_[node.device.get()];
  if (plugged.device != nullptr) return plugged;
  plugged.pipe = std::make_unique<kernel::WorkstationPipe>(*workstation_, node.device);
  if (node.device->video) {
    plugged.device = kernel_.PlugComposite(*plugged.pipe, HardwareIds(*node.device, L""));
  } else {
    plugged.device = kernel_.PlugDevice(*plugged.pipe, ClassText(node.classGuid), HardwareIds(*node.device, L""));
  }
  return plugged;
}

os::InterfaceHandle KernelDevices::Open(const DeviceNode& node, DWORD& error) {
  if (!node.device) {
    error = kErrorFileNotFound;
    return 0;
  }
  std::lock_guard lock(mutex_);
  Plugged& plugged = Plug(node);
  kernel::SimKernel::DeviceObject* target = plugged.device;
  if (node.function && node.device->video) {
    auto& function = plugged.functions[*node.function];
    if (function == nullptr) {
      wchar_t suffix[8];
      std::swprintf(suffix, std::size(suffix), L"&MI_%02X", *node.function);
      function = kernel_.AddFunction(plugged.device, ClassText(node.classGuid), HardwareIds(*node.device, suffix));
    }
    target = function;
  }
  const os::InterfaceHandle handle = static_cast<os::InterfaceHandle>(kernel_.OpenInterface(target));
  open_[handle] = 1;
  return handle;
}

void KernelDevices::Close(os::InterfaceHandle handle) {
  std::lock_guard lock(mutex_);
  if (open_.erase(handle) == 1) kernel_.CloseInterface(handle);
}

size_t KernelDevices::OpenHandles() const {
  std::lock_guard lock(mutex_);
  return open_.size();
}

}  // namespace fcp::sim::windows
