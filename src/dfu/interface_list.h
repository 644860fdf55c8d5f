// The DFU interface list: one entry for every DFU alternate setting of every USB device libusb sees,
// newest entry at the head. Built by DFU_ProbeDevices, consumed and freed by the DFU connection.
#pragma once
#include <cstddef>
#include <cstdint>

#include "dfu/functional_descriptor.h"

struct libusb_device;
struct libusb_device_handle;

// DfuInterface::flags
inline constexpr uint8_t kDfuInterfaceInDfuMode = 0x01;
inline constexpr uint8_t kDfuInterfaceBesideVideo = 0x02;  // its configuration has a video interface too

struct DfuInterface {
  fcp::dfu::DfuFunctionalDescriptor functional;
  uint16_t quirks;
  uint16_t bus_number;
  uint16_t device_address;
  uint16_t vendor_id;
  uint16_t product_id;
  uint16_t bcdDevice;
  uint8_t configuration_value;
  uint8_t interface_number;
  uint8_t alternate_setting;
  uint8_t flags;
  uint8_t max_packet_size0;
  char* name;         // "VID_%04X&PID_%04X&REV_%04X"
  char* alt_name;      // interface string, or "UNKNOWN"
  char* serial_name;   // serial-number string, or "UNKNOWN"
  char* location;     // "%03d.%03d.%03d.%03d.%03d.%03d"
  libusb_device* device;          // own reference
  libusb_device_handle* handle;   // null until the connection opens this entry
  DfuInterface* next;
};

// The list head, shared by the probe and the connection.
DfuInterface*& DFU_InterfaceListHead();

// Unreferences every entry's device, frees its strings and the entry; the head becomes null. Open
// handles are not closed here: the connection closes the head's handle first.
void DFU_FreeInterfaceList();

namespace fcp::dfu {

// Frees one entry as DFU_FreeInterfaceList does (null is fine).
void FreeInterface(DfuInterface* entry);

// Where the list's memory comes from: the C heap, unless a test installs its own
// (fcp::os::ScopedPort<fcp::dfu::ListMemory>) to make an allocation fail. Whatever it hands out is
// released with std::free.
class ListMemory {
 public:
  virtual ~ListMemory() = default;
  virtual void* AllocateZeroed(std::size_t size) = 0;  // null when out of memory
};

void* AllocateZeroed(std::size_t size);
char* DuplicateText(const char* text);  // null when out of memory
void Free(void* memory);

}  // namespace fcp::dfu
