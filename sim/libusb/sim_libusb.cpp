// The subset of the libusb-1.0 API that the DFU side uses, served by the current virtual workstation.
// Compiled against libusb's own header; a program links this library instead of libusb.
//
// As libusb on Linux does, descriptors come from the device's cached copies (no wire traffic);
// control transfers, SET_CONFIGURATION and SET_INTERFACE go over the wire, i.e. through
// Workstation::ControlTransfer with its faults, latency and trace.
#include <libusb.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "sim/libusb/config_parse.h"
#include "sim/libusb/sim_libusb.h"
#include "sim/workstation.h"

using fcp::sim::SetupPacket;
using fcp::sim::TransferResult;
using fcp::sim::TransferStatus;
using fcp::sim::UsbDevice;
using fcp::sim::Workstation;

struct libusb_context {
  std::shared_ptr<Workstation> workstation;
  std::map<const UsbDevice*, libusb_device*> devices;  // one libusb_device per virtual device
  int init_count = 1;                                  // the default context is counted
};

struct libusb_device {
  libusb_context* context = nullptr;  // null once the context is gone
  std::shared_ptr<Workstation> workstation;
  std::shared_ptr<UsbDevice> device;
  int refs = 0;
};

struct libusb_device_handle {
  libusb_device* device = nullptr;
};

namespace {

std::mutex g_mutex;  // guards every object below and the reference counts
libusb_context* g_default_context = nullptr;
fcp::sim::LibusbObjects g_live;
std::set<libusb_config_descriptor*> g_configs;

libusb_context* ContextOf(libusb_context* ctx) { return ctx ? ctx : g_default_context; }

// Caller holds g_mutex.
void UnrefLocked(libusb_device* dev) {
  if (--dev->refs > 0) return;
  if (dev->context) dev->context->devices.erase(dev->device.get());
  --g_live.devices;
  delete dev;
}

int ResultCode(const TransferResult& r) {
  switch (r.status) {
    case TransferStatus::kOk: return r.transferred;
    case TransferStatus::kStall: return LIBUSB_ERROR_PIPE;
    case TransferStatus::kNoDevice: return LIBUSB_ERROR_NO_DEVICE;
    case TransferStatus::kTimeout: return LIBUSB_ERROR_TIMEOUT;
  }
  return LIBUSB_ERROR_OTHER;
}

int Transfer(libusb_device_handle* handle, uint8_t request_type, uint8_t request, uint16_t value,
             uint16_t index, unsigned char* data, uint16_t length, unsigned timeout) {
  if (!handle) return LIBUSB_ERROR_INVALID_PARAM;
  if (length > 0 && !data) return LIBUSB_ERROR_INVALID_PARAM;
  libusb_device* dev = handle->device;
  const SetupPacket setup{request_type, request, value, index, length};
  return ResultCode(dev->workstation->ControlTransfer(*dev->device, setup, std::span<uint8_t>(data, length), timeout));
}

}  // namespace

namespace fcp::sim {
LibusbObjects LiveLibusbObjects() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_live;
}
}  // namespace fcp::sim

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
  auto workstation = fcp::sim::CurrentWorkstation();
  if (!workstation) workstation = std::make_shared<Workstation>();  // a machine without USB devices
  if (workstation->libusb_init_error < 0) return workstation->libusb_init_error;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!ctx) {
    if (g_default_context) {
      ++g_default_context->init_count;
      return LIBUSB_SUCCESS;
    }
    g_default_context = new libusb_context{workstation, {}, 1};
    ++g_live.contexts;
    return LIBUSB_SUCCESS;
  }
  *ctx = new libusb_context{workstation, {}, 1};
  ++g_live.contexts;
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
  std::lock_guard<std::mutex> lock(g_mutex);
  libusb_context* context = ContextOf(ctx);
  if (!context) return;
  if (!ctx && --context->init_count > 0) return;
  // Devices still referenced outlive their context (libusb warns about them); they stay counted.
  for (auto& [key, dev] : context->devices) dev->context = nullptr;
  if (!ctx) g_default_context = nullptr;
  --g_live.contexts;
  delete context;
}

void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}

int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option option, ...) {
  if (option < LIBUSB_OPTION_LOG_LEVEL || option >= LIBUSB_OPTION_MAX) return LIBUSB_ERROR_INVALID_PARAM;
  if (option == LIBUSB_OPTION_USE_USBDK) return LIBUSB_ERROR_NOT_SUPPORTED;
  return LIBUSB_SUCCESS;
}

const struct libusb_version* LIBUSB_CALL libusb_get_version(void) {
  static const libusb_version kVersion = {1, 0, 26, 0, "", "fcp-sim"};
  return &kVersion;
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability) {
  return capability == LIBUSB_CAP_HAS_CAPABILITY ? 1 : 0;
}

const char* LIBUSB_CALL libusb_error_name(int code) {
  switch (code) {
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    case LIBUSB_TRANSFER_ERROR: return "LIBUSB_TRANSFER_ERROR";
    case LIBUSB_TRANSFER_TIMED_OUT: return "LIBUSB_TRANSFER_TIMED_OUT";
    case LIBUSB_TRANSFER_CANCELLED: return "LIBUSB_TRANSFER_CANCELLED";
    case LIBUSB_TRANSFER_STALL: return "LIBUSB_TRANSFER_STALL";
    case LIBUSB_TRANSFER_NO_DEVICE: return "LIBUSB_TRANSFER_NO_DEVICE";
    case LIBUSB_TRANSFER_OVERFLOW: return "LIBUSB_TRANSFER_OVERFLOW";
    case 0: return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    default: return "**UNKNOWN**";
  }
}

const char* LIBUSB_CALL libusb_strerror(int code) {
  switch (code) {
    case LIBUSB_SUCCESS: return "Success";
    case LIBUSB_ERROR_IO: return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM: return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS: return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE: return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND: return "Entity not found";
    case LIBUSB_ERROR_BUSY: return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT: return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW: return "Overflow";
    case LIBUSB_ERROR_PIPE: return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED: return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM: return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "Operation not supported or unimplemented on this platform";
    default: return "Other error";
  }
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
  std::lock_guard<std::mutex> lock(g_mutex);
  libusb_context* context = ContextOf(ctx);
  if (!context || !list) return LIBUSB_ERROR_INVALID_PARAM;
  auto devices = context->workstation->ConnectedDevices();
  std::erase_if(devices, [](const auto& device) { return !device->libusb_visible; });
  auto** out = static_cast<libusb_device**>(std::calloc(devices.size() + 1, sizeof(libusb_device*)));
  if (!out) return LIBUSB_ERROR_NO_MEM;
  for (size_t i = 0; i < devices.size(); ++i) {
    libusb_device*& dev = context->devices[devices[i].get()];
    if (!dev) {
      dev = new libusb_device{context, context->workstation, devices[i], 0};
      ++g_live.devices;
    }
    ++dev->refs;
    out[i] = dev;
  }
  ++g_live.device_lists;
  *list = out;
  return static_cast<ssize_t>(devices.size());
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
  if (!list) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (unref_devices)
    for (libusb_device** p = list; *p; ++p) UnrefLocked(*p);
  --g_live.device_lists;
  std::free(list);
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++dev->refs;
  return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
  if (!dev) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  UnrefLocked(dev);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
  const fcp::sim::Bytes& d = dev->device->Descriptors().device;
  if (d.size() < LIBUSB_DT_DEVICE_SIZE) return LIBUSB_ERROR_IO;
  desc->bLength = d[0];
  desc->bDescriptorType = d[1];
  desc->bcdUSB = static_cast<uint16_t>(d[2] | d[3] << 8);
  desc->bDeviceClass = d[4];
  desc->bDeviceSubClass = d[5];
  desc->bDeviceProtocol = d[6];
  desc->bMaxPacketSize0 = d[7];
  desc->idVendor = static_cast<uint16_t>(d[8] | d[9] << 8);
  desc->idProduct = static_cast<uint16_t>(d[10] | d[11] << 8);
  desc->bcdDevice = static_cast<uint16_t>(d[12] | d[13] << 8);
  desc->iManufacturer = d[14];
  desc->iProduct = d[15];
  desc->iSerialNumber = d[16];
  desc->bNumConfigurations = d[17];
  return LIBUSB_SUCCESS;
}

namespace {
int ConfigByIndex(libusb_device* dev, size_t index, libusb_config_descriptor** config) {
  const auto& descriptors = dev->device->Descriptors();
  if (descriptors.device.size() < LIBUSB_DT_DEVICE_SIZE || index >= descriptors.device[17] ||
      index >= descriptors.configurations.size())
    return LIBUSB_ERROR_NOT_FOUND;
  const fcp::sim::Bytes& raw = descriptors.configurations[index];
  if (raw.size() < LIBUSB_DT_CONFIG_SIZE) return LIBUSB_ERROR_IO;
  const size_t total = static_cast<size_t>(raw[2] | raw[3] << 8);
  const int size = static_cast<int>(std::min(total, raw.size()));
  if (size < LIBUSB_DT_CONFIG_SIZE) return LIBUSB_ERROR_IO;
  const int r = fcp::sim::ParseConfigDescriptor(raw.data(), size, config);
  if (r == 0) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_configs.insert(*config);
    ++g_live.config_descriptors;
  }
  return r;
}
}  // namespace

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                             struct libusb_config_descriptor** config) {
  return ConfigByIndex(dev, config_index, config);
}

int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device* dev, uint8_t value,
                                                      struct libusb_config_descriptor** config) {
  const auto& configs = dev->device->Descriptors().configurations;
  for (size_t i = 0; i < configs.size(); ++i)
    if (configs[i].size() > 5 && configs[i][5] == value) return ConfigByIndex(dev, i, config);
  return LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev, struct libusb_config_descriptor** config) {
  const uint8_t value = dev->device->Configuration();
  if (value == 0) return LIBUSB_ERROR_NOT_FOUND;
  return libusb_get_config_descriptor_by_value(dev, value, config);
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
  if (!config) return;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    // Only what this library handed out is freed; anything else is a caller's fault, and freeing
    // it would corrupt the heap.
    if (!g_configs.erase(config)) std::abort();
    --g_live.config_descriptors;
  }
  fcp::sim::FreeConfigDescriptor(config);
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev) { return dev->device->Place().bus; }

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) { return dev->device->Place().address; }

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* dev) {
  const auto& ports = dev->device->Place().ports;
  return ports.empty() ? 0 : ports.back();
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* port_numbers, int port_numbers_len) {
  const auto& ports = dev->device->Place().ports;
  if (port_numbers_len <= 0) return LIBUSB_ERROR_INVALID_PARAM;
  if (static_cast<int>(ports.size()) > port_numbers_len) return LIBUSB_ERROR_OVERFLOW;
  std::copy(ports.begin(), ports.end(), port_numbers);
  return static_cast<int>(ports.size());
}

int LIBUSB_CALL libusb_get_port_path(libusb_context*, libusb_device* dev, uint8_t* path, uint8_t path_length) {
  return libusb_get_port_numbers(dev, path, path_length);
}

libusb_device* LIBUSB_CALL libusb_get_parent(libusb_device* dev) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!dev->context) return nullptr;
  const auto& place = dev->device->Place();
  if (place.ports.empty()) return nullptr;
  const std::vector<uint8_t> parent(place.ports.begin(), place.ports.end() - 1);
  for (auto& [key, other] : dev->context->devices)
    if (other->device->Place().bus == place.bus && other->device->Place().ports == parent) return other;
  return nullptr;
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device*) { return LIBUSB_SPEED_HIGH; }

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** handle) {
  if (!dev || !handle) return LIBUSB_ERROR_INVALID_PARAM;
  if (!dev->device->Connected()) return LIBUSB_ERROR_NO_DEVICE;
  if (dev->device->libusb_open_error < 0) return dev->device->libusb_open_error;
  std::lock_guard<std::mutex> lock(g_mutex);
  ++dev->refs;
  *handle = new libusb_device_handle{dev};
  ++g_live.handles;
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
  if (!handle) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  UnrefLocked(handle->device);
  --g_live.handles;
  delete handle;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle) { return handle->device; }

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx, uint16_t vendor_id,
                                                                  uint16_t product_id) {
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx, &list);
  if (n < 0) return nullptr;
  libusb_device_handle* handle = nullptr;
  for (ssize_t i = 0; i < n && !handle; ++i) {
    if (list[i]->device->VendorId() == vendor_id && list[i]->device->ProductId() == product_id) {
      if (libusb_open(list[i], &handle) != 0) handle = nullptr;
    }
  }
  libusb_free_device_list(list, 1);
  return handle;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* handle, int* config) {
  *config = handle->device->device->Configuration();
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* handle, int configuration) {
  const int r = Transfer(handle, LIBUSB_ENDPOINT_OUT, LIBUSB_REQUEST_SET_CONFIGURATION,
                         static_cast<uint16_t>(configuration < 0 ? 0 : configuration), 0, nullptr, 0, 1000);
  return r < 0 ? (r == LIBUSB_ERROR_PIPE ? LIBUSB_ERROR_NOT_FOUND : r) : LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int interface_number) {
  if (!handle || interface_number < 0 || interface_number >= 256) return LIBUSB_ERROR_INVALID_PARAM;
  if (!handle->device->device->Connected()) return LIBUSB_ERROR_NO_DEVICE;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int interface_number) {
  if (!handle || interface_number < 0 || interface_number >= 256) return LIBUSB_ERROR_INVALID_PARAM;
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* handle, int interface_number,
                                                 int alternate_setting) {
  const int r = Transfer(handle, 0x01 /* out, standard, interface */, LIBUSB_REQUEST_SET_INTERFACE,
                         static_cast<uint16_t>(alternate_setting), static_cast<uint16_t>(interface_number),
                         nullptr, 0, 1000);
  return r < 0 ? (r == LIBUSB_ERROR_PIPE ? LIBUSB_ERROR_NOT_FOUND : r) : LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t request_type, uint8_t bRequest,
                                        uint16_t wValue, uint16_t wIndex, unsigned char* data, uint16_t wLength,
                                        unsigned int timeout) {
  return Transfer(handle, request_type, bRequest, wValue, wIndex, data, wLength, timeout);
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t desc_index,
                                                   unsigned char* data, int length) {
  if (desc_index == 0) return LIBUSB_ERROR_INVALID_PARAM;
  unsigned char buf[255];
  int r = Transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, LIBUSB_DT_STRING << 8, 0, buf, 4, 1000);
  if (r < 0) return r;
  if (r != 4 || buf[0] < 4 || buf[1] != LIBUSB_DT_STRING) return LIBUSB_ERROR_IO;
  const uint16_t langid = static_cast<uint16_t>(buf[2] | buf[3] << 8);
  r = Transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
               static_cast<uint16_t>(LIBUSB_DT_STRING << 8 | desc_index), langid, buf, sizeof buf, 1000);
  if (r < 0) return r;
  if (r < 2 || buf[0] > r || buf[1] != LIBUSB_DT_STRING) return LIBUSB_ERROR_IO;
  int di = 0;
  for (int si = 2; si < buf[0]; si += 2) {
    if (di >= length - 1) break;
    const uint16_t unit = static_cast<uint16_t>(buf[si] | (si + 1 < r ? buf[si + 1] << 8 : 0));
    data[di++] = unit < 0x80 ? static_cast<unsigned char>(unit) : '?';
  }
  data[di] = 0;
  return di;
}

}  // extern "C"
