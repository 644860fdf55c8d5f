#include "dfu/probe.h"

#include <libusb.h>

#include <cstring>
#include <string>

#include "dfu/diagnostic.h"
#include "dfu/dfu_mode.h"
#include "dfu/functional_descriptor.h"
#include "dfu/interface_list.h"
#include "dfu/quirks.h"
#include "dfu/string_descriptor.h"
#include "os/operator_notices.h"
#include "text/usb_device_names.h"

namespace fcp::dfu {
namespace {

constexpr unsigned kRequestTimeoutMs = 1000;
constexpr char kUnknownName[] = "UNKNOWN";
constexpr int kPortPathCapacity = 12;  // what libusb_get_port_numbers may fill

bool IsDfuAlternateSetting(const libusb_interface_descriptor& setting) {
  return setting.bInterfaceClass == LIBUSB_CLASS_APPLICATION && setting.bInterfaceSubClass == 0x01;
}

// Whether the configuration also holds a video interface: the DFU function is then a camera's.
bool HasVideoInterface(const libusb_config_descriptor& config) {
  for (int i = 0; i < config.bNumInterfaces; ++i) {
    const libusb_interface& interface = config.interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a)
      if (interface.altsetting[a].bInterfaceClass == LIBUSB_CLASS_VIDEO) return true;
  }
  return false;
}

// Steps 2 and 3: the functional descriptor among the configuration's own extra bytes, else among
// those of its DFU alternate settings. `has_dfu_interface` tells whether any DFU alternate setting was seen.
bool FindInConfiguration(const libusb_config_descriptor& config, DfuFunctionalDescriptor& functional,
                         bool& has_dfu_interface) {
  has_dfu_interface = false;
  if (FindFunctionalDescriptor(config.extra, config.extra_length, functional) == DescriptorSearch::kFound)
    return true;
  for (int i = 0; i < config.bNumInterfaces; ++i) {
    const libusb_interface& interface = config.interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& setting = interface.altsetting[a];
      if (!IsDfuAlternateSetting(setting)) continue;
      if (FindFunctionalDescriptor(setting.extra, setting.extra_length, functional) == DescriptorSearch::kFound)
        return true;
      has_dfu_interface = true;
    }
  }
  return false;
}

// Step 4: a DFU interface without the descriptor among its configuration's bytes; ask the device.
void RequestFunctionalDescriptor(libusb_device* device, DfuFunctionalDescriptor& functional) {
  libusb_device_handle* handle = nullptr;
  if (libusb_open(device, &handle) == 0 && handle != nullptr) {
    const int received = libusb_control_transfer(
        handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, kFunctionalDescriptorType << 8, 0,
        reinterpret_cast<unsigned char*>(&functional), sizeof functional, kRequestTimeoutMs);
    libusb_close(handle);
    if (received >= 0) return;
  }
  SetDiagnostic("Device has DFU interface, but has no DFU functional descriptor");
  functional = DfuFunctionalDescriptor{};
  functional.bLength = 7;
  functional.bcdDFUVersion = kDfuVersion10;
}

void ReadNameOrUnknown(libusb_device_handle* handle, uint8_t index, char (&text)[kStringTextSize]) {
  if (index == 0 || DFU_GetStringAscii(handle, index, text) < 1) std::memcpy(text, kUnknownName, sizeof kUnknownName);
}

struct EntryFacts {
  const libusb_device_descriptor& device;
  const libusb_config_descriptor& config;
  const libusb_interface_descriptor& setting;
  const DfuFunctionalDescriptor& functional;
  bool dfu_mode;
  bool beside_video;
  const char* alt_name;
  const char* serial_name;
};

// A device the user may not open through usbfs is left out of the list; without a word the operator
// would only see that no DFU interface was found for the camera. Said once per device and process,
// by its IDs and location as the verdict names a camera.
void SayNoAccess(libusb_device* device, const libusb_device_descriptor& descriptor) {
  if (os::InstalledPort<os::OperatorNotices>() == nullptr) return;
  uint8_t ports[kPortPathCapacity] = {};
  libusb_get_port_numbers(device, ports, kPortPathCapacity);
  char location[text::kLocationTextLength + 1];
  text::FormatUsbLocation(ports, location);
  os::SayNoAccessOnce("USB device", descriptor.idVendor, descriptor.idProduct, std::string(location), "usbfs node");
}

// Step 6.5. Returns false, with the diagnostic, when memory runs out; nothing is linked then.
bool AddEntry(libusb_device* device, const EntryFacts& facts) {
  auto* entry = static_cast<DfuInterface*>(AllocateZeroed(sizeof(DfuInterface)));
  if (entry == nullptr) {
    SetDiagnostic("Cannot allocate memory of size %d bytes", static_cast<int>(sizeof(DfuInterface)));
    return false;
  }
  entry->functional = facts.functional;
  entry->device = libusb_ref_device(device);
  entry->quirks = DFU_GetQuirks(facts.device.idVendor, facts.device.idProduct, facts.device.bcdDevice);
  entry->vendor_id = facts.device.idVendor;
  entry->product_id = facts.device.idProduct;
  entry->bcdDevice = facts.device.bcdDevice;
  entry->configuration_value = facts.config.bConfigurationValue;
  entry->interface_number = facts.setting.bInterfaceNumber;
  entry->alternate_setting = facts.setting.bAlternateSetting;
  entry->device_address = libusb_get_device_address(device);
  entry->bus_number = libusb_get_bus_number(device);

  uint8_t ports[kPortPathCapacity] = {};
  libusb_get_port_numbers(device, ports, kPortPathCapacity);
  char location[text::kLocationTextLength + 1];
  text::FormatUsbLocation(ports, location);
  char name[text::kUsbDeviceNameLength + 1];
  text::FormatUsbDeviceName(entry->vendor_id, entry->product_id, entry->bcdDevice, name);

  entry->location = DuplicateText(location);
  entry->name = DuplicateText(name);
  entry->alt_name = DuplicateText(facts.alt_name);
  entry->serial_name = DuplicateText(facts.serial_name);
  if (entry->location == nullptr || entry->name == nullptr || entry->alt_name == nullptr ||
      entry->serial_name == nullptr) {
    SetDiagnostic("Out of memory");
    FreeInterface(entry);
    return false;
  }
  if (facts.dfu_mode) entry->flags |= kDfuInterfaceInDfuMode;
  if (facts.beside_video) entry->flags |= kDfuInterfaceBesideVideo;
  if (entry->quirks & kQuirkForceDfu11) entry->functional.bcdDFUVersion = kDfuVersion11;
  entry->max_packet_size0 = facts.device.bMaxPacketSize0;

  DfuInterface*& head = DFU_InterfaceListHead();
  entry->next = head;
  head = entry;
  return true;
}

// Returns false when the probe of the whole device must stop.
bool ProbeConfiguration(libusb_device* device, const libusb_device_descriptor& descriptor,
                        const libusb_config_descriptor& config) {
  DfuFunctionalDescriptor functional{};
  bool has_dfu_interface = false;
  if (!FindInConfiguration(config, functional, has_dfu_interface)) {
    if (!has_dfu_interface) return true;
    RequestFunctionalDescriptor(device, functional);
  }
  ApplyFunctionalDescriptorLength(functional);

  for (int i = 0; i < config.bNumInterfaces; ++i) {
    const libusb_interface& interface = config.interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& setting = interface.altsetting[a];
      if (!IsDfuAlternateSetting(setting)) continue;

      const bool dfu_mode = IsDfuMode({descriptor.idVendor, descriptor.idProduct, functional.bcdDFUVersion,
                                      setting.bInterfaceProtocol, config.bNumInterfaces});
      libusb_device_handle* handle = nullptr;
      const int opened = libusb_open(device, &handle);
      if (opened != 0 || handle == nullptr) {
        SetDiagnostic("Cannot open DFU device %04x:%04x", descriptor.idVendor, descriptor.idProduct);
        if (opened == LIBUSB_ERROR_ACCESS) SayNoAccess(device, descriptor);
        break;  // the next interface may still open
      }
      char alt_name[kStringTextSize];
      char serial_name[kStringTextSize];
      ReadNameOrUnknown(handle, setting.iInterface, alt_name);
      ReadNameOrUnknown(handle, descriptor.iSerialNumber, serial_name);
      libusb_close(handle);

      if (!AddEntry(device, {descriptor, config, setting, functional, dfu_mode, HasVideoInterface(config), alt_name, serial_name})) return false;
    }
  }
  return true;
}

void ProbeDevice(libusb_device* device, const libusb_device_descriptor& descriptor) {
  for (int index = 0; index < descriptor.bNumConfigurations; ++index) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(device, static_cast<uint8_t>(index), &config) != 0 || config == nullptr)
      return;
    const bool go_on = ProbeConfiguration(device, descriptor, *config);
    libusb_free_config_descriptor(config);
    if (!go_on) return;
  }
}

}  // namespace
}  // namespace fcp::dfu

void DFU_ProbeDevices(libusb_context* context) {
  libusb_device** devices = nullptr;
  const ssize_t count = libusb_get_device_list(context, &devices);
  if (count < 0) return;
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(devices[i], &descriptor) != 0) continue;
    fcp::dfu::ProbeDevice(devices[i], descriptor);
  }
  // Entries hold references of their own, so the list's references go with the list.
  libusb_free_device_list(devices, 1);
}
