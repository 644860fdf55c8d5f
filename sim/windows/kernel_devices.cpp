#include "sim/windows/kernel_devices.h"

#include <optional>

#include "text/ascii_case.h"
#include "text/usb_device_names.h"
#include "text/widening.h"

namespace fcp::sim::windows {
namespace {

constexpr DWORD kErrorFileNotFound = 2;

// "{xxxxxxxx-...}" in lower case, as the kernel reports a device's class.
std::u16string ClassText(const text::Guid& g) { return text::Utf16OfWide(text::LowerAscii(text::GuidText(g))); }

// `interface_number` for a function of a composite device.
std::vector<std::u16string> HardwareIds(const UsbDevice& device, std::optional<uint8_t> interface_number) {
  std::vector<std::u16string> ids;
  for (const std::wstring& id :
       text::UsbHardwareIds(device.VendorId(), device.ProductId(), device.BcdDevice(), interface_number)) {
    ids.push_back(text::Utf16OfWide(id));
  }
  return ids;
}

}  // namespace

void KernelDevices::ServeInterfaceFiles(DeviceTreeView& view) {
  view.SetInterfaceFiles([this](const DeviceNode& node, DWORD& error) { return Open(node, error); },
                           [this](os::InterfaceHandle handle) { Close(handle); });
}

KernelDevices::Plugged& KernelDevices::Plug(const DeviceNode& node) {
  Plugged& plugged = plugged_[node.device.get()];
  if (plugged.device != nullptr) return plugged;
  plugged.pipe = std::make_unique<kernel::WorkstationPipe>(*workstation_, node.device);
  if (node.device->video) {
    plugged.device = kernel_.PlugComposite(*plugged.pipe, HardwareIds(*node.device, std::nullopt));
  } else {
    plugged.device = kernel_.PlugDevice(*plugged.pipe, ClassText(node.class_guid), HardwareIds(*node.device, std::nullopt));
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
      function = kernel_.AddFunction(plugged.device, ClassText(node.class_guid), HardwareIds(*node.device, *node.function));
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
