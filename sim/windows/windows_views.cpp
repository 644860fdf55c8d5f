#include "sim/windows/windows_views.h"

#include <cwchar>
#include <optional>

#include "sim/devices.h"
#include "text/usb_device_names.h"
#include "text/widening.h"

namespace fcp::sim::windows {
namespace {

// The instance part of a composite device's child: stable for a device's place, as the platform's is.
std::wstring InstanceOf(const UsbDevice& device, uint8_t interface_number) {
  uint32_t hash = 2166136261u;
  for (char c : std::to_string(device.Place().bus) + ":" + text::UsbLocationText(device.Place().ports)) {
    hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
  }
  wchar_t text[32];
  std::swprintf(text, std::size(text), L"6&%08X&0&%04X", hash, interface_number);
  return text;
}

WireStatus WireStatusOf(TransferStatus status) {
  switch (status) {
    case TransferStatus::kOk:
      return WireStatus::kOk;
    case TransferStatus::kStall:
      return WireStatus::kStall;
    case TransferStatus::kNoDevice:
      return WireStatus::kNoDevice;
    case TransferStatus::kTimeout:
      return WireStatus::kTimeout;
  }
  return WireStatus::kStall;
}

// A scenario marks a sensor camera with "views": {"windows": {"sensor_camera_mode": <number>}}.
std::optional<uint32_t> ScenarioSensorCameraMode(const UsbDevice& device) {
  if (!device.shape) return std::nullopt;
  const auto windows = device.shape->views.find("windows");
  if (windows == device.shape->views.end() || !windows->is_object()) return std::nullopt;
  const auto mode = windows->find("sensor_camera_mode");
  if (mode == windows->end() || !mode->is_number_unsigned()) return std::nullopt;
  return mode->get<uint32_t>();
}

// A scenario lists software cameras with "views": {"windows": {"software_cameras": [{"friendly_name":
// "<text>"}]}} at its top level; entries of another shape are no camera.
std::vector<std::wstring> SoftwareCameraNames(const Workstation& workstation) {
  std::vector<std::wstring> names;
  const auto windows = workstation.views.find("windows");
  if (windows == workstation.views.end() || !windows->is_object()) return names;
  const auto cameras = windows->find("software_cameras");
  if (cameras == windows->end() || !cameras->is_array()) return names;
  for (const auto& camera : *cameras) {
    if (!camera.is_object()) continue;
    const auto name = camera.find("friendly_name");
    if (name == camera.end() || !name->is_string()) continue;
    names.push_back(text::WidenUtf8(name->get<std::string>()));
  }
  return names;
}

std::vector<std::shared_ptr<UsbDevice>> Cameras(const std::shared_ptr<Workstation>& workstation) {
  std::vector<std::shared_ptr<UsbDevice>> cameras;
  if (!workstation) return cameras;
  for (auto& device : workstation->ConnectedDevices()) {
    if (device->video && !device->Descriptors().configurations.empty()) cameras.push_back(device);
  }
  return cameras;
}

}  // namespace

std::wstring ProductStringOf(const UsbDevice& device, const wchar_t* fallback) {
  const auto& d = device.Descriptors();
  if (d.device.size() >= 18 && d.device[15] != 0) {
    const auto it = d.strings.find(d.device[15]);
    if (it != d.strings.end() && it->second.size() >= 2) {
      std::u16string units;
      for (size_t i = 2; i + 1 < it->second.size() && i + 1 < it->second[0]; i += 2) {
        units.push_back(static_cast<char16_t>(it->second[i] | it->second[i + 1] << 8));
      }
      if (!units.empty()) return text::WidenUtf16(units);
    }
  }
  return fallback;
}

std::wstring DeviceInstanceIdOf(const UsbDevice& device, uint8_t interface_number) {
  return text::UsbInterfaceInstanceId(device.VendorId(), device.ProductId(), interface_number,
                                      InstanceOf(device, interface_number));
}

std::wstring DevicePathOf(const UsbDevice& device, uint8_t interface_number) {
  return text::CaptureInterfacePath(DeviceInstanceIdOf(device, interface_number));
}

std::wstring LocationInformationOf(const UsbDevice& device) {
  // A host controller's address on the PCI bus per USB bus.
  wchar_t host_controller[32];
  std::swprintf(host_controller, std::size(host_controller), L"0000.00%02X.0000", 0x13u + device.Place().bus);
  return text::UsbLocationInformation(host_controller, device.Place().ports);
}

std::vector<CameraDeviceKey> WorkstationRegistry::CameraKeys() const {
  std::vector<CameraDeviceKey> cameras;
  for (const auto& device : Cameras(workstation_())) {
    const uint8_t vc = device->video->control_interface;
    std::optional<uint32_t> sensor_camera_mode = ScenarioSensorCameraMode(*device);
    if (sensor_cameras_ != nullptr) {
      if (const auto it = sensor_cameras_->find(device->Id()); it != sensor_cameras_->end()) sensor_camera_mode = it->second;
    }
    cameras.push_back({DeviceInstanceIdOf(*device, vc), LocationInformationOf(*device),
                       text::UsbHardwareIds(device->VendorId(), device->ProductId(), device->BcdDevice(), vc),
                       sensor_camera_mode});
  }
  return cameras;
}

LONG WorkstationRegistry::OpenKey(os::RegistryRoot root, const wchar_t* sub_key, uint32_t options, uint32_t access,
                                  os::RegistryKey& key) {
  // Show the cameras connected now: drop the keys of those that are gone, add the new ones.
  std::set<std::wstring> shown;
  for (const CameraDeviceKey& camera : CameraKeys()) {
    shown.insert(camera.instance_id);
    const std::wstring parameters = kEnumRoot + camera.instance_id + L"\\Device Parameters";
    if (published_.contains(camera.instance_id)) {
      // Values a test changed stay; only the sensor mark follows the views.
      if (camera.sensor_camera_mode) {
        keys_.SetDword(parameters, L"SensorCameraMode", *camera.sensor_camera_mode);
      } else {
        keys_.DeleteValue(parameters, L"SensorCameraMode");
      }
      continue;
    }
    AddCameraDeviceKey(keys_, camera);
  }
  for (const auto& instance_id : published_) {
    if (!shown.contains(instance_id)) keys_.DeleteKey(kEnumRoot + instance_id);
  }
  published_ = std::move(shown);
  return keys_.OpenKey(root, sub_key, options, access, key);
}

WindowsViews::WindowsViews(std::shared_ptr<Workstation> workstation)
    : fixed_(std::move(workstation)),
      video_inputs_([this] {
        std::vector<VideoInputDevice> inputs;
        const auto workstation = Current();
        if (workstation) {
          for (std::wstring& name : SoftwareCameraNames(*workstation)) inputs.push_back({std::nullopt, std::move(name), {}, {}});
        }
        for (const auto& device : Cameras(workstation)) {
          std::weak_ptr<Workstation> weak_workstation = workstation;
          inputs.push_back(VideoInputDevice{
              DevicePathOf(*device, device->video->control_interface), ProductStringOf(*device, L"USB Video Device"),
              device->Descriptors().configurations.front(),
              [weak_workstation, device](const std::array<uint8_t, 8>& setup, std::span<uint8_t> data) {
                const auto live = weak_workstation.lock();
                if (!live) return WireResult{WireStatus::kNoDevice, 0};
                const TransferResult result = live->ControlTransfer(*device, setup.data(), data.data());
                return WireResult{WireStatusOf(result.status), result.transferred};
              }});
        }
        return inputs;
      }),
      registry_([this] { return Current(); }, &sensor_cameras_) {}

std::shared_ptr<Workstation> WindowsViews::Current() const { return fixed_ ? fixed_ : CurrentWorkstation(); }

}  // namespace fcp::sim::windows
