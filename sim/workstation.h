// The virtual workstation: the USB devices plugged into it, the faults it injects, the time each
// control transfer takes, and the wire trace. Every view of the workstation (the libusb-compatible
// library, the video-input and registry adapters) reaches a device through ControlTransfer, so faults,
// latency and trace apply to all of them alike.
//
// One workstation is "current" per process: the one the libusb-compatible library and the other views
// serve. Tests build one in code (or load a scenario file) and make it current.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/faults.h"
#include "sim/usb_device.h"
#include "sim/usb_types.h"

namespace fcp::sim {

class Workstation {
 public:
  Workstation() = default;
  Workstation(const Workstation&) = delete;
  Workstation& operator=(const Workstation&) = delete;

  // Plugs a device in. Assigns the next free address on its bus when its address is 0. Refuses
  // (false, with a reason) a device whose id, bus and port path, or bus and address are taken.
  bool AddDevice(std::shared_ptr<UsbDevice> device, std::string* error = nullptr);
  // All devices in the order they were added, plugged in or not.
  std::vector<std::shared_ptr<UsbDevice>> Devices() const;
  // Devices that are plugged in, in the order they were added.
  std::vector<std::shared_ptr<UsbDevice>> ConnectedDevices() const;
  std::shared_ptr<UsbDevice> Find(const std::string& id) const;

  // Plugs a device in or out (false: no such id) and tells the connection listener when that
  // changes something.
  bool SetConnected(const std::string& id, bool connected);
  // Called after a device was added, plugged in or out (also by a disconnect fault), outside the
  // workstation's lock: the listener may use the workstation. The device-change events of the views.
  void SetConnectionListener(std::function<void(const UsbDevice&, bool connected)> listener);

  void AddFault(FaultRule rule);
  std::vector<FaultRule> Faults() const;

  // Time every control transfer takes unless its device says otherwise (0 by default).
  void SetDefaultLatency(std::chrono::microseconds latency) { default_latency_ = latency; }
  std::chrono::microseconds DefaultLatency() const { return default_latency_; }
  // Sum of the latencies of all transfers so far: the time the USB traffic itself needed.
  std::chrono::microseconds UsbTime() const;
  uint64_t TransferCount() const;

  // A libusb error code (negative) that libusb_init returns for this workstation; 0: it succeeds.
  int libusb_init_error = 0;
  // Free-form settings of the views for the whole workstation (a scenario's top-level "views"), kept
  // as given: each view reads and checks its own part.
  nlohmann::json views = nlohmann::json::object();

  // Receives every trace line, in addition to the FCP_SIM_TRACE file (tests compare these). Called
  // under the workstation's lock: it must not call the workstation.
  void SetTraceSink(std::function<void(const std::string&)> sink);

  // One control transfer to a device, exactly as on the wire: `setup` is the setup packet, `data`
  // the data stage (wLength bytes; filled for device-to-host, sent for host-to-device). `timeout_ms`
  // 0 waits without limit; a latency above the limit times the transfer out.
  TransferResult ControlTransfer(UsbDevice& device, const SetupPacket& setup, std::span<uint8_t> data,
                                 unsigned timeout_ms = 0);
  // The same from the 8 setup bytes; `data` must hold wLength bytes.
  TransferResult ControlTransfer(UsbDevice& device, const uint8_t setup[8], uint8_t* data,
                                 unsigned timeout_ms = 0);

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<UsbDevice>> devices_;
  std::vector<FaultRule> faults_;
  std::chrono::microseconds default_latency_{0};
  std::chrono::microseconds usb_time_{0};
  // How much longer than asked the last transfer's sleep lasted, still to be taken off the next.
  std::chrono::nanoseconds oversleep_{0};
  uint64_t transfers_ = 0;
  std::function<void(const std::string&)> trace_sink_;
  std::function<void(const UsbDevice&, bool)> connection_listener_;
};

// The workstation the process's views serve (null: none; the libusb view then shows an empty bus).
void SetCurrentWorkstation(std::shared_ptr<Workstation> workstation);
std::shared_ptr<Workstation> CurrentWorkstation();

// Makes a workstation current for the life of a scope, restoring the previous one after.
class ScopedWorkstation {
 public:
  explicit ScopedWorkstation(std::shared_ptr<Workstation> workstation);
  ~ScopedWorkstation();
  ScopedWorkstation(const ScopedWorkstation&) = delete;
  ScopedWorkstation& operator=(const ScopedWorkstation&) = delete;
  Workstation& operator*() const { return *current_; }
  Workstation* operator->() const { return current_.get(); }

 private:
  std::shared_ptr<Workstation> current_;
  std::shared_ptr<Workstation> previous_;
};

}  // namespace fcp::sim
