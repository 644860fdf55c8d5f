// The pass-through route on the virtual workstation: a simulated Windows machine that installs and
// runs the driver, the workstation's devices plugged into its kernel, the device tree whose interface
// files the driver accepts, and the camera layer's start-up facts. ScopedPassThroughPorts installs
// them as the process's ports, next to the camera side's views (whose registry keys stay readable).
#pragma once
#include <map>
#include <memory>

#include "os/port.h"
#include "sim/windows/camera_layer_host.h"
#include "sim/windows/device_tree_view.h"
#include "sim/windows/kernel_devices.h"
#include "sim/windows/sim_windows.h"

namespace fcp::sim::windows {

class PassThroughViews {
 public:
  explicit PassThroughViews(std::shared_ptr<Workstation> workstation);
  PassThroughViews(const PassThroughViews&) = delete;
  PassThroughViews& operator=(const PassThroughViews&) = delete;

  SimWindows& Windows() { return windows_; }
  SimWindowsProcess& Process() { return *process_; }
  DeviceTreeView& Tree() { return tree_; }
  windows::KernelDevices& KernelDevices() { return devices_; }
  SimCameraLayerHost& Host() { return host_; }
  const SimDriverImages& Images() const { return images_; }

 private:
  SimWindows windows_;
  SimDriverImages images_;
  std::unique_ptr<SimWindowsProcess> process_;
  DeviceTreeView tree_;
  windows::KernelDevices devices_;
  SimCameraLayerHost host_;
};

// One registry port over two: the camera side's device keys below the Enum tree from `devices`,
// everything else (the driver's service key) from `machine`.
class CombinedRegistry final : public os::DeviceRegistry {
 public:
  CombinedRegistry(os::DeviceRegistry& devices, os::DeviceRegistry& machine) : devices_(devices), machine_(machine) {}
  LONG OpenKey(os::RegistryRoot root, const wchar_t* sub_key, uint32_t options, uint32_t access,
               os::RegistryKey& key) override;
  LONG QueryValue(os::RegistryKey key, const wchar_t* name, uint32_t* type, uint8_t* data, uint32_t& size) override;
  LONG CloseKey(os::RegistryKey key) override;

 private:
  os::DeviceRegistry& devices_;
  os::DeviceRegistry& machine_;
  std::map<os::RegistryKey, std::pair<os::DeviceRegistry*, os::RegistryKey>> open_;
  os::RegistryKey next_ = 0x7000;
};

// The ports of the route for a scope: driver host and device, device setup, camera-layer host, and
// the combined registry; the machine's driver images for the process's driver service.
class ScopedPassThroughPorts {
 public:
  ScopedPassThroughPorts(PassThroughViews& views, os::DeviceRegistry& camera_registry);
  ~ScopedPassThroughPorts();
  ScopedPassThroughPorts(const ScopedPassThroughPorts&) = delete;
  ScopedPassThroughPorts& operator=(const ScopedPassThroughPorts&) = delete;

 private:
  CombinedRegistry registry_;
  os::ScopedPort<os::DriverHost> host_;
  os::ScopedPort<os::DriverDevice> device_;
  os::ScopedPort<os::DeviceRegistry> registry_port_;
  os::ScopedPort<os::DeviceSetup> setup_;
  os::ScopedPort<os::CameraLayerHost> camera_host_;
};

}  // namespace fcp::sim::windows
