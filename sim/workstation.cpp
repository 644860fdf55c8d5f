#include "sim/workstation.h"

#include <algorithm>
#include <thread>

#include "sim/trace.h"

namespace fcp::sim {

bool Workstation::AddDevice(std::shared_ptr<UsbDevice> device, std::string* error) {
  auto fail = [&](std::string why) {
    if (error) *error = std::move(why);
    return false;
  };
  std::unique_lock<std::mutex> lock(mutex_);
  UsbPlace place = device->Place();
  for (const auto& other : devices_) {
    if (other->Id() == device->Id()) return fail("device id \"" + device->Id() + "\" is used twice");
    if (other->Place().bus == place.bus && other->Place().ports == place.ports)
      return fail("devices \"" + other->Id() + "\" and \"" + device->Id() + "\" sit on the same port");
    if (place.address != 0 && other->Place().bus == place.bus && other->Place().address == place.address)
      return fail("devices \"" + other->Id() + "\" and \"" + device->Id() + "\" have the same address");
  }
  if (place.address == 0) {
    // Address 1 belongs to the bus's root hub.
    uint8_t candidate = 2;
    for (bool taken = true; taken && candidate <= 127;) {
      taken = std::any_of(devices_.begin(), devices_.end(), [&](const auto& other) {
        return other->Place().bus == place.bus && other->Place().address == candidate;
      });
      if (taken) ++candidate;
    }
    if (candidate > 127) return fail("bus " + std::to_string(place.bus) + " has no free address");
    place.address = candidate;
    device->SetPlace(place);
  }
  devices_.push_back(device);
  auto listener = connection_listener_;
  lock.unlock();
  if (listener && device->Connected()) listener(*device, true);
  return true;
}

bool Workstation::SetConnected(const std::string& id, bool connected) {
  std::shared_ptr<UsbDevice> device = Find(id);
  if (!device) return false;
  std::function<void(const UsbDevice&, bool)> listener;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (device->Connected() == connected) return true;
    device->SetConnected(connected);
    listener = connection_listener_;
  }
  if (listener) listener(*device, connected);
  return true;
}

void Workstation::SetConnectionListener(std::function<void(const UsbDevice&, bool connected)> listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  connection_listener_ = std::move(listener);
}

std::vector<std::shared_ptr<UsbDevice>> Workstation::Devices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_;
}

std::vector<std::shared_ptr<UsbDevice>> Workstation::ConnectedDevices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<UsbDevice>> out;
  for (const auto& d : devices_)
    if (d->Connected()) out.push_back(d);
  return out;
}

std::shared_ptr<UsbDevice> Workstation::Find(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& d : devices_)
    if (d->Id() == id) return d;
  return nullptr;
}

void Workstation::AddFault(FaultRule rule) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.push_back(std::move(rule));
}

std::vector<FaultRule> Workstation::Faults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return faults_;
}

std::chrono::microseconds Workstation::UsbTime() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return usb_time_;
}

uint64_t Workstation::TransferCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transfers_;
}

void Workstation::SetTraceSink(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  trace_sink_ = std::move(sink);
}

TransferResult Workstation::ControlTransfer(UsbDevice& device, const uint8_t setup[8], uint8_t* data,
                                            unsigned timeout_ms) {
  const SetupPacket packet = SetupPacket::FromBytes(setup);
  return ControlTransfer(device, packet, std::span<uint8_t>(data, data ? packet.wLength : 0), timeout_ms);
}

namespace {

// The transfer as `fault` alters it. `sent` (what the host sent, for the trace) is cut for a short
// host-to-device transfer.
TransferResult DeliverWithFault(UsbDevice& device, const FaultRule& fault, const SetupPacket& setup,
                                std::span<uint8_t> data, Bytes& sent) {
  const bool in = setup.IsDeviceToHost();
  switch (fault.action) {
    case FaultAction::kStall:
      return TransferResult::Stall();
    case FaultAction::kTimeout:
      return {TransferStatus::kTimeout, 0};
    case FaultAction::kDisconnect:
      device.SetConnected(false);
      return {TransferStatus::kNoDevice, 0};
    case FaultAction::kShort: {
      const size_t keep = std::min<size_t>(fault.length ? *fault.length : setup.wLength / 2, data.size());
      if (!in) {
        sent.resize(keep);
        return device.Handle(setup, data.first(keep));
      }
      Bytes full(data.size());
      TransferResult result = device.Handle(setup, full);
      if (result.Ok()) {
        result.transferred = std::min(result.transferred, static_cast<int>(keep));
        std::copy_n(full.begin(), result.transferred, data.begin());
      }
      return result;
    }
    case FaultAction::kWrongData: {
      auto corrupt = [&](std::span<uint8_t> bytes) {
        if (fault.data) {
          std::copy_n(fault.data->begin(), std::min(fault.data->size(), bytes.size()), bytes.begin());
        } else {
          for (uint8_t& b : bytes) b = static_cast<uint8_t>(~b);
        }
      };
      if (!in) {
        Bytes altered(data.begin(), data.end());
        corrupt(altered);
        return device.Handle(setup, altered);
      }
      TransferResult result = device.Handle(setup, data);
      if (result.Ok()) corrupt(data.first(static_cast<size_t>(result.transferred)));
      return result;
    }
  }
  return TransferResult::Stall();
}

// Waits out one transfer's time. A sleep lasts longer than asked (the kernel's timer slack, waking
// up on a busy machine); what it overran is taken off the next transfer's wait, so that a run of
// transfers lasts what their times add up to rather than growing with every sleep. At most one
// transfer's time is carried over, and time between transfers never counts.
void SleepTransferTime(std::chrono::microseconds latency, std::chrono::nanoseconds& oversleep) {
  if (latency.count() <= 0) return;
  const std::chrono::nanoseconds wait = latency - oversleep;
  if (wait.count() <= 0) {
    oversleep = -wait;
    return;
  }
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(wait);
  oversleep = std::min<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start - wait, latency);
  oversleep = std::max<std::chrono::nanoseconds>(oversleep, std::chrono::nanoseconds(0));
}

}  // namespace

TransferResult Workstation::ControlTransfer(UsbDevice& device, const SetupPacket& setup, std::span<uint8_t> data,
                                            unsigned timeout_ms) {
  // One transfer at a time on the whole workstation, as on one bus.
  std::unique_lock<std::mutex> lock(mutex_);
  ++transfers_;
  const bool in = setup.IsDeviceToHost();
  data = data.first(std::min<size_t>(data.size(), setup.wLength));
  Bytes sent;  // what the host sent, for the trace
  if (!in) sent.assign(data.begin(), data.end());

  const std::chrono::microseconds latency = device.latency ? *device.latency : default_latency_;
  TransferResult result;
  const FaultRule* fault = nullptr;
  bool unplugged = false;
  if (!device.Connected()) {
    result = {TransferStatus::kNoDevice, 0};
  } else if (timeout_ms != 0 && latency > std::chrono::milliseconds(timeout_ms)) {
    // Too slow for the caller: the request never gets through, and no fault counts it.
    std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    usb_time_ += std::chrono::milliseconds(timeout_ms);
    result = {TransferStatus::kTimeout, 0};
  } else {
    // Every rule of the device counts the transfer; the first that fires acts.
    for (FaultRule& rule : faults_) {
      if (rule.device == device.Id() && rule.Observe(setup) && !fault) fault = &rule;
    }
    SleepTransferTime(latency, oversleep_);
    usb_time_ += latency;
    result = fault ? DeliverWithFault(device, *fault, setup, data, sent) : device.Handle(setup, data);
    unplugged = !device.Connected();
  }

  std::span<const uint8_t> moved = sent;
  if (in) moved = result.Ok() ? data.first(static_cast<size_t>(result.transferred)) : std::span<uint8_t>();
  const std::string line = TraceLine(device.Id(), setup, moved, result, fault ? FaultActionName(fault->action) : nullptr);
  WriteTraceLine(line);
  if (trace_sink_) trace_sink_(line);
  auto listener = unplugged ? connection_listener_ : nullptr;
  lock.unlock();
  if (listener) listener(device, false);
  return result;
}

namespace {
std::mutex& CurrentMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<Workstation>& CurrentSlot() {
  static std::shared_ptr<Workstation> current;
  return current;
}
}  // namespace

void SetCurrentWorkstation(std::shared_ptr<Workstation> workstation) {
  std::lock_guard<std::mutex> lock(CurrentMutex());
  CurrentSlot() = std::move(workstation);
}

std::shared_ptr<Workstation> CurrentWorkstation() {
  std::lock_guard<std::mutex> lock(CurrentMutex());
  return CurrentSlot();
}

ScopedWorkstation::ScopedWorkstation(std::shared_ptr<Workstation> workstation)
    : current_(std::move(workstation)), previous_(CurrentWorkstation()) {
  SetCurrentWorkstation(current_);
}

ScopedWorkstation::~ScopedWorkstation() { SetCurrentWorkstation(previous_); }

}  // namespace fcp::sim
