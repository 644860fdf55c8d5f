// Open-device: from the handle of an interface the caller opened to the USB device behind it, checked
// and registered.
#include "driver/acceptance.h"
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
// device object, the one whose children include the function. Referenced on success.
NtStatus FindWholeDevice(KernelPort& kernel, KernelObject function, KernelObject* whole) {
  for (KernelObject d = kernel.NextDeviceOfDriver(function); d; d = kernel.NextDeviceOfDriver(d)) {
    if (kernel.IsBusEnumerated(d)) continue;
    RelationList relations;
    if (!IsSuccess(kernel.QueryBusRelations(d, &relations))) continue;
    const bool parent = RelationsContain(relations, function);
    kernel.ReleaseRelations(&relations);
    if (parent) return kernel.QueryTargetDevice(d, whole);
  }
  return kStatusUnsuccessful;
}

// The function's physical device object behind a user-mode interface handle. Referenced on success.
NtStatus FunctionOfHandle(KernelPort& kernel, uint64_t interface_handle, KernelObject* function) {
  KernelObject file = nullptr;
  NtStatus status = kernel.ReferenceFileByHandle(interface_handle, &file);
  if (!IsSuccess(status)) return status;
  status = kernel.QueryTargetDevice(kernel.TopDeviceOfFile(file), function);
  kernel.DereferenceObject(file);
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

}  // namespace

NtStatus OpenDevice(DeviceExtension& ext, uint64_t interface_handle, uint32_t transport_kind,
                    uint64_t* device_handle) {
  KernelPort& kernel = *ext.kernel;
  *device_handle = 0;
  if (interface_handle == 0) return kStatusInvalidParameter;

  KernelObject function = nullptr;
  NtStatus status = FunctionOfHandle(kernel, interface_handle, &function);
  if (!IsSuccess(status)) return status;

  KernelObject device = function;
  if (CreatedByFunctionSplitter(kernel, function)) {
    status = FindWholeDevice(kernel, function, &device);
    if (!IsSuccess(status)) {
      kernel.DereferenceObject(function);
      return status;
    }
  }

  const bool accepted = AcceptDevice(kernel, device, function, transport_kind);
  if (device != function) kernel.DereferenceObject(function);
  if (!accepted) {
    kernel.DereferenceObject(device);
    return kStatusAccessDenied;
  }

  // The reference taken above becomes the registration's; a full table hands it back.
  status = RegisterDevice(ext, device, device_handle);
  if (!IsSuccess(status)) kernel.DereferenceObject(device);
  return status;
}

NtStatus CloseDevice(DeviceExtension& ext, uint64_t device_handle) { return UnregisterDevice(ext, device_handle); }

}  // namespace fcp::driver
