#include "sim/windows/windows_views.h"

#include <cwchar>
#include <optional>

#include "sim/devices.h"
#include "text/usb_device_names.h"
#include "text/widening.h"

namespace fcp::sim::windows {
namespace {

// The instance part of a composite device's child: stable for a device's place, as the platform's is.
std::wstring InstanceOf(const UsbDevice& device, uint8_t interfaceNumber) {
  uint32_t hash = 2166136261u;
  for (char c : std::to_string(device.place().bus) + ":" + text::UsbLocationText(device.place().ports)) {
    hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
  }
  wchar_t text[32];
  std::swprintf(text, std::size(text), L"6&%08X&0&%04X", hash, interfaceNumber);
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
    names.push_back(text::WidenBytes(name->get<std::string>()));
  }
  return names;
}

std::vector<std::shared_ptr<UsbDevice>> Cameras(const std::shared_ptr<Workstation>& workstation) {
  std::vector<std::shared_ptr<UsbDevice>> cameras;
  if (!workstation) return cameras;
  for (auto& device : workstation->ConnectedDevices()) {
    if (device->video && !device->descriptors().configurations.empty()) cameras.push_back(device);
  }
  return cameras;
}

}  // namespace

std::wstring ProductStringOf(const UsbDevice& device, const wchar_t* fallback) {
  const auto& d = device.descriptors();
  if (d.device.size() >= 18 && d.device[15] != 0) {
    const auto it = d.strings.find(d.device[15]);
    if (it != d.strings.end() && it->second.size() >= 2) {
      std::wstring text;
      for (size_t i = 2; i + 1 < it->second.size() && i + 1 < it->second[0]; i += 2) {
        text.push_back(static_cast<wchar_t>(it->second[i] | it->second[i + 1] << 8));
      }
      if (!text.empty()) return text;
    }
  }
  return fallback;
}

std::wstring DeviceInstanceIdOf(const UsbDevice& device, uint8_t interfaceNumber) {
  return text::UsbInterfaceInstanceId(device.vendor_id(), device.product_id(), interfaceNumber,
                                      InstanceOf(device, interfaceNumber));
}

std::wstring DevicePathOf(const UsbDevice& device, uint8_t interfaceNumber) {
  return text::CaptureInterfacePath(DeviceInstanceIdOf(device, interfaceNumber));
}

std::wstring LocationInformationOf(const UsbDevice& device) {
  // A host controller's address on the PCI bus per USB bus.
  wchar_t hostController[32];
  std::swprintf(hostController, std::size(hostController), L"0000.00%02X.0000", 0x13u + device.place().bus);
  return text::UsbLocationInformation(hostController, device.place().ports);
}

std::vector<CameraDeviceKey> WorkstationRegistry::CameraKeys() const {
  std::vector<CameraDeviceKey> cameras;
  for (const auto& device : Cameras(workstation_())) {
    const uint8_t vc = device->video->control_interface;
    std::optional<uint32_t> sensorCameraMode = ScenarioSensorCameraMode(*device);
    if (sensorCameras_ != nullptr) {
      if (const auto it = sensorCameras_->find(device->id()); it != sensorCameras_->end()) sensorCameraMode = it->second;
    }
    cameras.push_back({DeviceInstanceIdOf(*device, vc), LocationInformationOf(*device),
                       text::UsbHardwareIds(device->vendor_id(), device->product_id(), device->bcd_device(), vc),
                       sensorCameraMode});
  }
  return cameras;
}

LONG WorkstationRegistry::OpenKey(os::RegistryRoot root, const wchar_t* subKey, uint32_t options, uint32_t access,
                                  os::RegistryKey& key) {
  // Show the cameras connected now: drop the keys of those that are gone, add the new ones.
  std::set<std::wstring> shown;
  for (const CameraDeviceKey& camera : CameraKeys()) {
    shown.insert(camera.instanceId);
    const std::wstring parameters = kEnumRoot + camera.instanceId + L"\\Device Parameters";
    if (published_.contains(camera.instanceId)) {
      // Values a test changed stay; only the sensor mark follows the views.
      if (camera.sensorCameraMode) {
        keys_.SetDword(parameters, L"SensorCameraMode", *camera.sensorCameraMode);
      } else {
        keys_.DeleteValue(parameters, L"SensorCameraMode");
      }
      continue;
    }
    AddCameraDeviceKey(keys_, camera);
  }
  for (const auto& instanceId : published_) {
    if (!shown.contains(instanceId)) keys_.DeleteKey(kEnumRoot + instanceId);
  }
  published_ = std::move(shown);
  return keys_.OpenKey(root, subKey, options, access, key);
}

WindowsViews::WindowsViews(std::shared_ptr<Workstation> workstation)
    : fixed_(std::move(workstation)),
      videoInputs_([this] {
        std::vector<VideoInputDevice> inputs;
        const auto workstation = Current();
        if (workstation) {
          for (std::wstring& name : SoftwareCameraNames(*workstation)) inputs.push_back({std::nullopt, std::move(name), {}, {}});
        }
        for (const auto& device : Cameras(workstation)) {
          std::weak_ptr<Workstation> weakWorkstation = workstation;
          inputs.push_back(VideoInputDevice{
              DevicePathOf(*device, device->video->control_interface), ProductStringOf(*device, L"USB Video Device"),
              device->descriptors().configurations.front(),
              [weakWorkstation, device](const std::array<uint8_t, 8>& setup, std::span<uint8_t> data) {
                const auto live = weakWorkstation.lock();
                if (!live) return WireResult{WireStatus::kNoDevice, 0};
                const TransferResult result = live->ControlTransfer(*device, setup.data(), data.data());
                return WireResult{WireStatusOf(result.status), result.transferred};
              }});
        }
        return inputs;
      }),
      registry_([this] { return Current(); }, &sensorCameras_) {}

std::shared_ptr<Workstation> WindowsViews::Current() const { return fixed_ ? fixed_ : CurrentWorkstation(); }

}  // namespace fcp::sim::windows
