#include "sim/libusb/config_parse.h"

#include <cstdlib>
#include <cstring>

namespace fcp::sim {

namespace {

constexpr int kHeaderLength = 2;
constexpr int kMaxEndpoints = 32;
constexpr int kMaxInterfaces = 32;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool IsProperDescriptor(uint8_t type) {
  return type == LIBUSB_DT_ENDPOINT || type == LIBUSB_DT_INTERFACE || type == LIBUSB_DT_CONFIG ||
         type == LIBUSB_DT_DEVICE;
}

// Skips class/vendor descriptors up to the next proper one. Returns the bytes skipped, or -1 for a
// descriptor shorter than its header; *truncated is set when a descriptor runs past the end.
int SkipExtra(const uint8_t* buffer, int size, bool* truncated) {
  int skipped = 0;
  *truncated = false;
  while (size >= kHeaderLength) {
    const uint8_t length = buffer[0];
    if (length < kHeaderLength) return -1;
    if (length > size) {
      *truncated = true;
      return skipped;
    }
    if (IsProperDescriptor(buffer[1])) break;
    buffer += length;
    size -= length;
    skipped += length;
  }
  return skipped;
}

int CopyExtra(const uint8_t* begin, int length, const unsigned char** extra, int* extra_length) {
  if (length <= 0) return 0;
  auto* copy = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(length)));
  if (!copy) return LIBUSB_ERROR_NO_MEM;
  std::memcpy(copy, begin, static_cast<size_t>(length));
  *extra = copy;
  *extra_length = length;
  return 0;
}

int ParseEndpoint(libusb_endpoint_descriptor* endpoint, const uint8_t* buffer, int size) {
  if (size < kHeaderLength) return LIBUSB_ERROR_IO;
  const uint8_t length = buffer[0];
  if (buffer[1] != LIBUSB_DT_ENDPOINT) return 0;
  if (length < LIBUSB_DT_ENDPOINT_SIZE) return LIBUSB_ERROR_IO;
  if (length > size) return 0;
  endpoint->bLength = buffer[0];
  endpoint->bDescriptorType = buffer[1];
  endpoint->bEndpointAddress = buffer[2];
  endpoint->bmAttributes = buffer[3];
  endpoint->wMaxPacketSize = Le16(buffer + 4);
  endpoint->bInterval = buffer[6];
  if (length >= LIBUSB_DT_ENDPOINT_AUDIO_SIZE) {
    endpoint->bRefresh = buffer[7];
    endpoint->bSynchAddress = buffer[8];
  }
  buffer += length;
  size -= length;
  int parsed = length;
  bool truncated = false;
  const int extra = SkipExtra(buffer, size, &truncated);
  if (extra < 0) return LIBUSB_ERROR_IO;
  if (truncated && extra == 0) return parsed;
  // libusb keeps the bytes skipped before a truncated descriptor out of `extra` and stops there.
  if (truncated) return parsed + extra;
  const int r = CopyExtra(buffer, extra, &endpoint->extra, &endpoint->extra_length);
  if (r < 0) return r;
  return parsed + extra;
}

void ClearInterface(libusb_interface* interface) {
  if (!interface->altsetting) return;
  for (int a = 0; a < interface->num_altsetting; ++a) {
    auto* alt = const_cast<libusb_interface_descriptor*>(interface->altsetting + a);
    std::free(const_cast<unsigned char*>(alt->extra));
    if (alt->endpoint) {
      for (int e = 0; e < alt->bNumEndpoints; ++e) std::free(const_cast<unsigned char*>(alt->endpoint[e].extra));
      std::free(const_cast<libusb_endpoint_descriptor*>(alt->endpoint));
    }
  }
  std::free(const_cast<libusb_interface_descriptor*>(interface->altsetting));
  interface->altsetting = nullptr;
}

// Parses one interface with all its alternate settings. Returns the bytes used, 0 when nothing was
// parsed, or a negative libusb error.
int ParseInterface(libusb_interface* interface, const uint8_t* buffer, int size) {
  int parsed = 0;
  int interface_number = -1;
  while (size >= LIBUSB_DT_INTERFACE_SIZE) {
    auto* altsettings = static_cast<libusb_interface_descriptor*>(
        std::realloc(const_cast<libusb_interface_descriptor*>(interface->altsetting),
                     sizeof(libusb_interface_descriptor) * static_cast<size_t>(interface->num_altsetting + 1)));
    if (!altsettings) return LIBUSB_ERROR_NO_MEM;
    interface->altsetting = altsettings;
    libusb_interface_descriptor* alt = altsettings + interface->num_altsetting;
    std::memset(alt, 0, sizeof *alt);
    if (buffer[1] != LIBUSB_DT_INTERFACE) return parsed;
    if (buffer[0] < LIBUSB_DT_INTERFACE_SIZE) return LIBUSB_ERROR_IO;
    if (buffer[0] > size) return parsed;
    if (buffer[4] > kMaxEndpoints) return LIBUSB_ERROR_IO;
    alt->bLength = buffer[0];
    alt->bDescriptorType = buffer[1];
    alt->bInterfaceNumber = buffer[2];
    alt->bAlternateSetting = buffer[3];
    alt->bNumEndpoints = buffer[4];
    alt->bInterfaceClass = buffer[5];
    alt->bInterfaceSubClass = buffer[6];
    alt->bInterfaceProtocol = buffer[7];
    alt->iInterface = buffer[8];
    ++interface->num_altsetting;
    if (interface_number == -1) interface_number = alt->bInterfaceNumber;

    const int length = buffer[0];
    buffer += length;
    parsed += length;
    size -= length;

    bool truncated = false;
    const int extra = SkipExtra(buffer, size, &truncated);
    if (extra < 0) return LIBUSB_ERROR_IO;
    if (truncated) return parsed + extra;
    const int r = CopyExtra(buffer, extra, &alt->extra, &alt->extra_length);
    if (r < 0) return r;
    buffer += extra;
    parsed += extra;
    size -= extra;

    if (alt->bNumEndpoints > 0) {
      auto* endpoints = static_cast<libusb_endpoint_descriptor*>(
          std::calloc(alt->bNumEndpoints, sizeof(libusb_endpoint_descriptor)));
      if (!endpoints) return LIBUSB_ERROR_NO_MEM;
      alt->endpoint = endpoints;
      for (int e = 0; e < alt->bNumEndpoints; ++e) {
        const int used = ParseEndpoint(endpoints + e, buffer, size);
        if (used < 0) return used;
        if (used == 0) {
          alt->bNumEndpoints = static_cast<uint8_t>(e);
          break;
        }
        buffer += used;
        parsed += used;
        size -= used;
      }
    }

    // Another alternate setting of the same interface follows?
    if (size < LIBUSB_DT_INTERFACE_SIZE || buffer[1] != LIBUSB_DT_INTERFACE || buffer[2] != interface_number)
      return parsed;
  }
  return parsed;
}

}  // namespace

void FreeConfigDescriptor(libusb_config_descriptor* config) {
  if (!config) return;
  if (config->interface) {
    for (int i = 0; i < config->bNumInterfaces; ++i)
      ClearInterface(const_cast<libusb_interface*>(config->interface + i));
    std::free(const_cast<libusb_interface*>(config->interface));
  }
  std::free(const_cast<unsigned char*>(config->extra));
  std::free(config);
}

int ParseConfigDescriptor(const uint8_t* buffer, int size, libusb_config_descriptor** out) {
  if (size < LIBUSB_DT_CONFIG_SIZE) return LIBUSB_ERROR_IO;
  auto* config = static_cast<libusb_config_descriptor*>(std::calloc(1, sizeof(libusb_config_descriptor)));
  if (!config) return LIBUSB_ERROR_NO_MEM;
  config->bLength = buffer[0];
  config->bDescriptorType = buffer[1];
  config->wTotalLength = Le16(buffer + 2);
  config->bNumInterfaces = buffer[4];
  config->bConfigurationValue = buffer[5];
  config->iConfiguration = buffer[6];
  config->bmAttributes = buffer[7];
  config->MaxPower = buffer[8];
  auto fail = [&](int error) {
    FreeConfigDescriptor(config);
    return error;
  };
  if (config->bDescriptorType != LIBUSB_DT_CONFIG || config->bLength < LIBUSB_DT_CONFIG_SIZE ||
      config->bLength > size || config->bNumInterfaces > kMaxInterfaces) {
    config->bNumInterfaces = 0;
    return fail(LIBUSB_ERROR_IO);
  }
  auto* interfaces = static_cast<libusb_interface*>(
      std::calloc(config->bNumInterfaces ? config->bNumInterfaces : 1, sizeof(libusb_interface)));
  if (!interfaces) {
    config->bNumInterfaces = 0;
    return fail(LIBUSB_ERROR_NO_MEM);
  }
  config->interface = interfaces;
  buffer += config->bLength;
  size -= config->bLength;

  for (int i = 0; i < config->bNumInterfaces; ++i) {
    // Class- and vendor-specific descriptors before the interface belong to the configuration.
    bool truncated = false;
    const int extra = SkipExtra(buffer, size, &truncated);
    if (extra < 0) return fail(LIBUSB_ERROR_IO);
    if (truncated) {
      config->bNumInterfaces = static_cast<uint8_t>(i);
      break;
    }
    if (extra > 0) {
      auto* grown = static_cast<unsigned char*>(
          std::realloc(const_cast<unsigned char*>(config->extra), static_cast<size_t>(config->extra_length + extra)));
      if (!grown) return fail(LIBUSB_ERROR_NO_MEM);
      std::memcpy(grown + config->extra_length, buffer, static_cast<size_t>(extra));
      config->extra = grown;
      config->extra_length += extra;
      buffer += extra;
      size -= extra;
    }
    const int used = ParseInterface(interfaces + i, buffer, size);
    if (used < 0) return fail(used);
    if (used == 0) {
      // The interface slot may hold an allocation that never became an alternate setting.
      ClearInterface(interfaces + i);
      config->bNumInterfaces = static_cast<uint8_t>(i);
      break;
    }
    buffer += used;
    size -= used;
  }
  *out = config;
  return 0;
}

}  // namespace fcp::sim
