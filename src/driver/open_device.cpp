// Open-device: from the handle of an interface the caller opened to the USB device behind it, checked
// and registered.
#include "driver/acceptance.h"
#include "driver/interlocked.h"
#include "driver/kvxupx_driver.h"
#include "driver/registered_table.h"
#include "driver/wide_text.h"

namespace fcp::driver {
namespace {

constexpr uint32_t kDeviceNameBytes = 1024;
constexpr uint32_t kDriverNameChars = 128;

// Drivers whose device objects are functions of a larger USB device.
bool CreatedByFunctionSplitter(KernelPort& kernel, KernelObject device) {
  char16_t name[kDriverNameChars] = {};
  if (!kernel.CreatorDriverName(device, name, kDriverNameChars - 1)) return false;
  name[kDriverNameChars - 1] = 0;
  return MatchesIgnoringCase(name, "*USBCCGP*") || MatchesIgnoringCase(name, "*HIDUSB*");
}

bool RelationsContain(const RelationList& relations, KernelObject device) {
  for (uint32_t i = 0; i < relations.count; ++i) {
    if (relations.objects[i] == device) return true;
  }
  return false;
}

// The whole USB device a function belongs to: the physical device object of the splitter's parent
// device object, the one whose children include the function. Referenced on success. The splitter's
// device list is walked as a referenced snapshot: the splitter may delete device objects meanwhile.
NtStatus FindWholeDevice(KernelPort& kernel, KernelObject function, KernelObject* whole) {
  RelationList devices;
  NtStatus status = kernel.DevicesOfDriver(function, &devices);
  if (!IsSuccess(status)) return status;
  status = kStatusUnsuccessful;
  uint32_t i = 0;
  while (i < devices.count && devices.objects[i] != function) ++i;
  // Onward from the function, in the driver's own order.
  for (++i; i < devices.count; ++i) {
    KernelObject d = devices.objects[i];
    if (kernel.IsBusEnumerated(d)) continue;
    RelationList relations;
    if (!IsSuccess(kernel.QueryBusRelations(d, &relations))) continue;
    const bool parent = RelationsContain(relations, function);
    kernel.ReleaseRelations(&relations);
    if (parent) {
      status = kernel.QueryTargetDevice(d, nullptr, whole);
      break;
    }
  }
  kernel.ReleaseDevicesOfDriver(&devices);
  return status;
}

// The function's physical device object behind the interface file object. Referenced on success.
// A handle of anything but a device on a plug-and-play stack (a file, a pipe, a socket) is refused
// before any request reaches its stack.
NtStatus FunctionOfFile(KernelPort& kernel, KernelObject file, KernelObject* function) {
  if (!kernel.IsOnPnpDeviceStack(file)) return kStatusInvalidParameter;
  NtStatus status = kernel.QueryTargetDevice(kernel.TopDeviceOfFile(file), file, function);
  if (!IsSuccess(status)) return status;

  // The name is not used; a device that cannot answer it is not served.
  void* name = kernel.Allocate(kDeviceNameBytes);
  status = name ? kernel.QueryDeviceName(*function, name, kDeviceNameBytes) : kStatusInsufficientResources;
  if (name) kernel.Free(name);
  if (!IsSuccess(status)) {
    kernel.DereferenceObject(*function);
    *function = nullptr;
  }
  return status;
}

// The USB device behind an interface the caller opened, accepted for the transport kind. Referenced
// on success.
NtStatus AcceptedDeviceOfFile(KernelPort& kernel, KernelObject interface_file, uint32_t transport_kind,
                              KernelObject* accepted) {
  KernelObject function = nullptr;
  NtStatus status = FunctionOfFile(kernel, interface_file, &function);
  if (!IsSuccess(status)) return status;

  KernelObject device = function;
  if (CreatedByFunctionSplitter(kernel, function)) {
    status = FindWholeDevice(kernel, function, &device);
    if (!IsSuccess(status)) {
      kernel.DereferenceObject(function);
      return status;
    }
  }

  const bool accept = AcceptDevice(kernel, device, function, transport_kind);
  if (device != function) kernel.DereferenceObject(function);
  if (!accept) {
    kernel.DereferenceObject(device);
    return kStatusAccessDenied;
  }
  *accepted = device;
  return kStatusSuccess;
}

uint32_t NewWatchId(DeviceExtension& ext) {
  for (;;) {
    const auto id = static_cast<uint32_t>(InterlockedAdd32(&ext.watch_sequence, 1));
    if (id != 0) return id;  // 0 means "no watch"
  }
}

}  // namespace

NtStatus OpenDevice(DeviceExtension& ext, KernelObject file, uint64_t interface_handle, uint32_t transport_kind,
                    uint64_t* device_handle) {
  KernelPort& kernel = *ext.kernel;
  *device_handle = 0;
  if (interface_handle == 0) return kStatusInvalidParameter;

  KernelObject interface_file = nullptr;
  NtStatus status = kernel.ReferenceFileByHandle(interface_handle, &interface_file);
  if (!IsSuccess(status)) return status;
  KernelObject device = nullptr;
  status = AcceptedDeviceOfFile(kernel, interface_file, transport_kind, &device);
  if (!IsSuccess(status)) {
    kernel.DereferenceObject(interface_file);
    return status;
  }

  // Watched from before it is registered, so no removal goes unnoticed; the watch is ended again
  // when the device turns out to be registered already (and watched by its first registration).
  const uint32_t watch_id = NewWatchId(ext);
  RemovalWatch* watch = nullptr;
  status = kernel.WatchRemoval(interface_file, &ext, watch_id, &watch);
  kernel.DereferenceObject(interface_file);
  if (!IsSuccess(status)) {
    kernel.DereferenceObject(device);
    return status;
  }

  // The reference taken above becomes the registration's; a failure hands it back.
  bool watch_taken = false;
  status = RegisterDevice(ext, file, device, transport_kind == 2, watch, watch_id, device_handle, &watch_taken);
  if (!watch_taken) kernel.EndRemovalWatch(watch);
  if (!IsSuccess(status)) kernel.DereferenceObject(device);
  return status;
}

NtStatus CloseDevice(DeviceExtension& ext, KernelObject file, uint64_t device_handle) {
  return UnregisterDevice(ext, file, device_handle);
}

}  // namespace fcp::driver
