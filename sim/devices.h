// Building virtual devices: the chip's camera and its variants, and devices without the chip.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/usb_device.h"

namespace fcp::sim {

// Where a device keeps its DFU functional descriptor (type 0x21).
enum class DfuDescriptorPlace {
  kConfiguration,  // in the configuration's extra bytes (right after the configuration header)
  kInterface,      // after the DFU interface descriptor (the usual place)
  kOnRequest,      // in no descriptor; answered to GET_DESCRIPTOR 0x2100 only
  kNowhere,        // nowhere: GET_DESCRIPTOR 0x2100 stalls
};

// One string descriptor of a device. `text` is UTF-8 and is sent as UTF-16LE.
struct StringSpec {
  StringSpec() = default;
  StringSpec(std::string t) : text(std::move(t)) {}  // NOLINT: a text is a plain string
  std::string text;
  bool present = true;                    // false: the index is referenced, the request stalls
  std::optional<uint8_t> declared_length;  // a bLength that differs from the bytes sent
};

// Everything a device can be built from. Defaults give the chip's camera on root port 1 of bus 1
// with a family-VZQ2202 chip, run-time DFU interface, functional descriptor after the interface.
// A value of it is called the device's "shape" (variables, UsbDevice::shape): what the device
// looks like on the bus, its descriptors and functions, fixed when it is built; what changes while
// it runs (connection, the chip's memory, faults) lives in the UsbDevice and its Chip instead.
struct DeviceSpec {
  std::string id = "cam0";
  DeviceKind kind = DeviceKind::kChipCamera;
  UsbPlace place{1, {1}, 0};

  // Device descriptor. 0 for vendor/product: the kind's default (the maker's vendor ID and the
  // chip's product ID for the chip's camera).
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  uint16_t bcd_device = 0x0100;
  uint8_t max_packet_size0 = 64;

  // Camera function.
  uint8_t xu_unit_id = 4;

  // DFU function (chip camera and foreign DFU device).
  bool has_dfu = true;
  bool dfu_mode = false;  // DFU mode: the device shows only its DFU interface, protocol 2
  uint8_t dfu_alt_settings = 1;
  std::optional<uint8_t> dfu_protocol;  // bInterfaceProtocol; none: 2 in DFU mode, 1 in run-time mode
  DfuDescriptorPlace dfu_descriptor = DfuDescriptorPlace::kInterface;
  uint8_t dfu_descriptor_length = 9;  // bLength of the functional descriptor (7 for DFU 1.0 style)
  uint16_t dfu_version = 0x0110;
  uint16_t dfu_transfer_size = 64;

  // String descriptors by role: "manufacturer", "product", "serial", "video_interface",
  // "dfu_interface". A role absent from the map gets the kind's default text; a role mapped to
  // an empty text with present=true is given string index 0 (no string).
  std::map<std::string, StringSpec> strings;
  std::vector<uint16_t> langids = {0x0409};  // empty: the LANGID descriptor (index 0) stalls
  std::optional<Bytes> langid_descriptor;    // raw bytes instead of the list (broken lists)

  // The chip (chip camera only); null: a new factory chip with `chip_product_id`.
  std::shared_ptr<Chip> chip;
  uint16_t chip_product_id = 0;  // 0: the first product ID of family VZQ2202

  // Free-form settings of the other views (registry, device tree, ...), kept as given: each view
  // reads and checks its own part.
  nlohmann::json views = nlohmann::json::object();
};

// Builds the device the shape describes. The shape is assumed valid (the scenario loader checks it).
std::shared_ptr<UsbDevice> MakeDevice(const DeviceSpec& shape);

// Short forms for tests.
DeviceSpec ChipCameraSpec(std::string id, std::vector<uint8_t> ports, uint8_t bus = 1);
std::shared_ptr<UsbDevice> MakeChipCamera(std::string id, std::vector<uint8_t> ports, uint8_t bus = 1);

// Vendor IDs of the devices of other makers (fictional).
inline constexpr uint16_t kForeignCameraVendorId = 0xF0C1;
inline constexpr uint16_t kForeignDfuVendorId = 0xF0D1;
inline constexpr uint16_t kHubVendorId = 0xF0E1;

}  // namespace fcp::sim
