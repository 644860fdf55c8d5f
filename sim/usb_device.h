// A virtual USB device: its descriptors as raw bytes, its place on the hub tree, the functions behind
// its interfaces (video control with the chip's extension unit, video streaming, DFU) and the chip.
// `Handle` answers one control transfer exactly as the device would on the wire; faults, latency and
// the trace are the workstation's business (workstation.h), so everything that reaches a device from
// outside goes through Workstation::ControlTransfer.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/chip.h"
#include "sim/hex.h"
#include "sim/usb_types.h"
#include "text/guid.h"

namespace fcp::sim {

// Where a device sits: bus number, the hub port path from the root hub down (1-7 ports; empty for
// a root hub itself), and its device address on the bus (1-127).
struct UsbPlace {
  uint8_t bus = 1;
  std::vector<uint8_t> ports;
  uint8_t address = 0;  // 0 until the workstation assigns one
};

// The raw descriptors a device answers GET_DESCRIPTOR with.
struct UsbDescriptors {
  Bytes device;                        // the 18-byte device descriptor
  std::vector<Bytes> configurations;   // each the full configuration (wTotalLength bytes)
  std::map<uint8_t, Bytes> strings;    // index -> descriptor bytes as sent; 0 is the LANGID list
  std::optional<Bytes> dfu_functional; // answer to GET_DESCRIPTOR type 0x21; none: stall
};

// The camera function of a device: interface numbers and the extension unit.
struct VideoFunction {
  uint8_t control_interface = 0;  // video-control interface number
  uint8_t streaming_interface = 1;
  uint8_t xu_unit_id = 0;         // bUnitID of the extension unit
  text::Guid xu_guid;             // guidExtensionCode of the extension unit
  uint8_t xu_controls = 0;        // bNumControls
};

// The DFU function of a device.
struct DfuFunction {
  uint8_t interface = 0;
  uint8_t alt_settings = 1;
  bool dfu_mode = false;  // protocol 2 (DFU mode) rather than 1 (run-time)
};

// What kind of device a scenario asked for.
enum class DeviceKind { kChipCamera, kForeignCamera, kForeignDfu, kHub };
// The kinds by their names in scenario files.
const std::map<std::string, DeviceKind>& DeviceKindNames();
const char* DeviceKindName(DeviceKind kind);

struct DeviceSpec;

class UsbDevice {
 public:
  UsbDevice(std::string id, DeviceKind kind, UsbDescriptors descriptors, UsbPlace place);

  const std::string& Id() const { return id_; }
  DeviceKind Kind() const { return kind_; }
  const UsbDescriptors& Descriptors() const { return descriptors_; }
  const UsbPlace& Place() const { return place_; }
  void SetPlace(UsbPlace place) { place_ = std::move(place); }

  uint16_t VendorId() const;
  uint16_t ProductId() const;
  uint16_t BcdDevice() const;

  // The functions behind the interfaces; absent where the device has none.
  std::optional<VideoFunction> video;
  std::optional<DfuFunction> dfu;
  // The chip behind the extension unit and the vendor requests (null: another maker's device).
  std::shared_ptr<Chip> chip;
  // Time each control transfer to this device takes; none: the workstation's default.
  std::optional<std::chrono::microseconds> latency;
  // What the device was built from (MakeDevice sets it; null for a device assembled by hand).
  std::shared_ptr<const DeviceSpec> shape;
  // A libusb error code (negative) that libusb_open returns for this device (no access, no driver).
  int libusb_open_error = 0;
  // False: libusb does not list the device at all (no user-mode driver serves it); the other views
  // still see it.
  bool libusb_visible = true;
  // Requests through the Windows USB stack (the pass-through driver's) that fail "not ready" without
  // reaching the device, as while it is still starting: a count, each such answer taking one, or
  // kAlwaysNotReady. libusb's transfers are not affected.
  static constexpr int kAlwaysNotReady = -1;
  std::atomic<int> not_ready{0};
  // Takes one "not ready" answer when one is left (always with kAlwaysNotReady).
  bool TakeNotReadyAnswer();

  // Plugged in or not. SetConnected tells no one; Workstation::SetConnected also tells the
  // workstation's connection listener.
  bool Connected() const { return connected_.load(); }
  void SetConnected(bool on) { connected_.store(on); }

  // Answers one control transfer. `data` is the data stage buffer of wLength bytes: filled for
  // device-to-host, read for host-to-device.
  TransferResult Handle(const SetupPacket& setup, std::span<uint8_t> data);

  // State set by standard requests.
  uint8_t Configuration() const { return configuration_; }

 private:
  TransferResult HandleStandard(const SetupPacket& setup, std::span<uint8_t> data);
  TransferResult HandleGetDescriptor(const SetupPacket& setup, std::span<uint8_t> data);
  TransferResult HandleExtensionUnit(const SetupPacket& setup, std::span<uint8_t> data);
  TransferResult HandleStreaming(const SetupPacket& setup, std::span<uint8_t> data);
  bool LangIdKnown(uint16_t langid) const;

  std::string id_;
  DeviceKind kind_;
  UsbDescriptors descriptors_;
  UsbPlace place_;
  std::atomic<bool> connected_{true};
  uint8_t configuration_ = 0;
  std::map<uint8_t, uint8_t> alt_settings_;
  Bytes probe_;   // video streaming probe control
  Bytes commit_;  // video streaming commit control
};

}  // namespace fcp::sim
