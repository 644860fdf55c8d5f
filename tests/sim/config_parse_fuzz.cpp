// Any bytes as a device's configuration, read through the libusb-compatible library: parsed or
// refused, never a read outside the bytes; every extra block lies inside them.
#include <libusb.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "sim/libusb/sim_libusb.h"
#include "sim/usb_device.h"
#include "sim/workstation.h"

namespace {
void CheckExtra(const unsigned char* extra, int length) {
  if (length < 0 || (length > 0 && !extra)) std::abort();
  volatile unsigned char sink = 0;
  for (int i = 0; i < length; ++i) sink = sink ^ extra[i];  // ASan checks each byte
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace fcp::sim;
  UsbDescriptors descriptors;
  descriptors.device = {18, 1, 0, 2, 0, 0, 0, 64, 1, 0, 2, 0, 0, 1, 0, 0, 0, 1};
  descriptors.configurations = {Bytes(data, data + size)};
  auto ws = std::make_shared<Workstation>();
  ws->AddDevice(std::make_shared<UsbDevice>("dev", DeviceKind::kForeignDfu, descriptors, UsbPlace{1, {1}, 0}));
  ScopedWorkstation current(ws);

  libusb_context* ctx = nullptr;
  if (libusb_init(&ctx) != 0) std::abort();
  libusb_device** list = nullptr;
  if (libusb_get_device_list(ctx, &list) != 1) std::abort();
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_config_descriptor(list[0], 0, &config) == 0) {
    CheckExtra(config->extra, config->extra_length);
    for (int i = 0; i < config->bNumInterfaces; ++i) {
      const libusb_interface& interface = config->interface[i];
      for (int a = 0; a < interface.num_altsetting; ++a) {
        const libusb_interface_descriptor& alt = interface.altsetting[a];
        CheckExtra(alt.extra, alt.extra_length);
        // As with libusb, an alternate setting cut short in its class descriptors keeps its
        // bNumEndpoints but has no endpoint array.
        if (!alt.endpoint) continue;
        for (int e = 0; e < alt.bNumEndpoints; ++e) CheckExtra(alt.endpoint[e].extra, alt.endpoint[e].extra_length);
      }
    }
    libusb_free_config_descriptor(config);
  }
  libusb_free_device_list(list, 1);
  libusb_exit(ctx);
  if (!LiveLibusbObjects().AllReleased()) std::abort();
  return 0;
}
