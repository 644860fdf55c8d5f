// The workstation's devices in the simulated kernel under the pass-through driver: each camera a
// composite device whose video function carries the setup class the device tree shows, other devices
// single-function devices; each plugged on first use, its requests going through the workstation (so
// faults, latency and the wire trace apply). It opens the device interface files of the device tree
// view as the kernel's interface handles, which the driver's open-device control accepts.
#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/kernel/sim_kernel.h"
#include "sim/kernel/workstation_pipe.h"
#include "sim/windows/device_tree_view.h"

namespace fcp::sim::windows {

class KernelDevices {
 public:
  KernelDevices(std::shared_ptr<Workstation> workstation, kernel::SimKernel& kernel)
      : workstation_(std::move(workstation)), kernel_(kernel) {}
  KernelDevices(const KernelDevices&) = delete;
  KernelDevices& operator=(const KernelDevices&) = delete;

  // Makes `view` open its interface files through the kernel.
  void ServeInterfaceFiles(DeviceTreeView& view);
  // The kernel's handle for a node's interface file; 0 with an error when the node is not a USB device.
  os::InterfaceHandle Open(const DeviceNode& node, DWORD& error);
  void Close(os::InterfaceHandle handle);
  size_t OpenHandles() const;

 private:
  struct Plugged {
    std::unique_ptr<kernel::WorkstationPipe> pipe;
    kernel::SimKernel::DeviceObject* device = nullptr;                     // the whole device's PDO
    std::map<uint8_t, kernel::SimKernel::DeviceObject*> functions;       // interface number -> function PDO
  };
  Plugged& Plug(const DeviceNode& node);  // with mutex_ held

  std::shared_ptr<Workstation> workstation_;
  kernel::SimKernel& kernel_;
  mutable std::mutex mutex_;
  std::map<const UsbDevice*, Plugged> plugged_;
  std::map<os::InterfaceHandle, int> open_;
};

}  // namespace fcp::sim::windows
