// Configuration descriptors from raw bytes into libusb's own structures, laid out exactly as libusb
// lays them out: class- and vendor-specific descriptors go to the `extra` bytes of the configuration,
// alternate setting or endpoint they follow; consecutive interface descriptors with one interface
// number are the alternate settings of one interface. Malformed input is handled as libusb handles
// it, quirks included: a descriptor running past the end cuts the parse short there (an alternate
// setting cut short in its class descriptors keeps its bNumEndpoints with a null endpoint array).
#pragma once
#include <libusb.h>

#include <cstdint>

namespace fcp::sim {

// 0 and *config set on success (free with FreeConfigDescriptor); LIBUSB_ERROR_IO on a malformed
// configuration, LIBUSB_ERROR_NO_MEM when memory runs out.
int ParseConfigDescriptor(const uint8_t* bytes, int size, libusb_config_descriptor** config);
void FreeConfigDescriptor(libusb_config_descriptor* config);

}  // namespace fcp::sim
