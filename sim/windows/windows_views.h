// The virtual workstation as the Windows camera side sees it: its connected cameras as video input
// devices (DevicePath \\?\usb#vid_vvvv&pid_pppp&mi_00#<instance>#{capture category}\global,
// FriendlyName from the product string), and their device keys below SYSTEM\ControlSet001\Enum
// ("LocationInformation" in the platform's long form ending in the same six hub ports libusb
// reports, "HardwareID" as a multi-string, "Device Parameters" with "SensorCameraMode" for the
// cameras marked so). Every request goes through Workstation::ControlTransfer, so faults, latency
// and the wire trace apply. A scenario marks a sensor camera with
//   "views": {"windows": {"sensor_camera_mode": <number>}}
// (tests may also call WindowsViews::SetSensorCamera, which wins). Software cameras (video inputs
// with a friendly name but no device path and no USB device) come from the scenario's top level,
//   "views": {"windows": {"software_cameras": [{"friendly_name": "<text>"}]}}
// and are listed before the USB cameras.
#pragma once
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "os/port.h"
#include "sim/windows/registry_view.h"
#include "sim/windows/video_input_view.h"
#include "sim/workstation.h"

namespace fcp::sim::windows {

// The registry that always shows the workstation's connected cameras; other keys that tests set stay.
class WorkstationRegistry : public os::DeviceRegistry {
 public:
  WorkstationRegistry(std::function<std::shared_ptr<Workstation>()> workstation,
                      const std::map<std::string, uint32_t>* sensor_cameras)
      : workstation_(std::move(workstation)), sensor_cameras_(sensor_cameras) {}

  // The keys below the cameras' keys, for tests to add or change values.
  RegistryView& Keys() { return keys_; }

  // The device keys of the cameras connected now, as the registry shows them.
  std::vector<CameraDeviceKey> CameraKeys() const;

  LONG OpenKey(os::RegistryRoot root, const wchar_t* sub_key, uint32_t options, uint32_t access,
               os::RegistryKey& key) override;
  LONG QueryValue(os::RegistryKey key, const wchar_t* name, uint32_t* type, uint8_t* data, uint32_t& size) override {
    return keys_.QueryValue(key, name, type, data, size);
  }
  LONG CloseKey(os::RegistryKey key) override { return keys_.CloseKey(key); }

 private:
  std::function<std::shared_ptr<Workstation>()> workstation_;
  const std::map<std::string, uint32_t>* sensor_cameras_;
  RegistryView keys_;
  std::set<std::wstring> published_;  // device keys currently shown
};

class WindowsViews {
 public:
  // Views of `workstation`; null: of the current workstation at each call.
  explicit WindowsViews(std::shared_ptr<Workstation> workstation = nullptr);
  WindowsViews(const WindowsViews&) = delete;
  WindowsViews& operator=(const WindowsViews&) = delete;

  VideoInputView& VideoInputs() { return video_inputs_; }
  WorkstationRegistry& Registry() { return registry_; }

  // Marks a camera (by device id) as a sensor camera: its "Device Parameters" key holds
  // "SensorCameraMode" with this value.
  void SetSensorCamera(const std::string& device_id, uint32_t value) { sensor_cameras_[device_id] = value; }

 private:
  std::shared_ptr<Workstation> Current() const;

  std::shared_ptr<Workstation> fixed_;
  std::map<std::string, uint32_t> sensor_cameras_;
  VideoInputView video_inputs_;
  WorkstationRegistry registry_;
};

// The views installed as the process's video-input and registry ports for a scope.
class ScopedWindowsViews {
 public:
  explicit ScopedWindowsViews(std::shared_ptr<Workstation> workstation = nullptr)
      : views_(std::move(workstation)), video_port_(&views_.VideoInputs()), registry_port_(&views_.Registry()) {}
  WindowsViews& Views() { return views_; }

 private:
  WindowsViews views_;
  os::ScopedPort<os::VideoInputs> video_port_;
  os::ScopedPort<os::DeviceRegistry> registry_port_;
};

// The names a camera interface gets on the platform.
std::wstring DeviceInstanceIdOf(const UsbDevice& device, uint8_t interface_number);  // USB\VID_..&PID_..&MI_..\<instance>
std::wstring DevicePathOf(const UsbDevice& device, uint8_t interface_number);
std::wstring LocationInformationOf(const UsbDevice& device);
// The product string, as the platform names a device without a name of its own (`fallback` without one).
std::wstring ProductStringOf(const UsbDevice& device, const wchar_t* fallback);

}  // namespace fcp::sim::windows
