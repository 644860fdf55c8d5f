// The camera layer on top of the pass-through driver: its start-up, the list of the USB cameras that
// are present (image and camera setup classes), and a camera connection opened through the driver.
// Results are Windows system error codes (0 = success) unless stated otherwise. Reaches the platform
// through the device-setup ports (os/device_setup.h) and the driver through KvxUpx_* (kvxupx.h).
#pragma once
#include <cstdint>

#include "os/device_setup.h"

inline constexpr int kKvCamTextChars = 260;
inline constexpr int kKvCamMaxAncestors = 32;

// One record of the camera list.
struct KvCamDeviceInfo {
  fcp::os::DevInst dev_inst;                  // the camera's device node: what KvCam_OpenDevice takes
  wchar_t display_name[kKvCamTextChars];      // friendly name, or "Usb Video Device #<n>"
  wchar_t device_instance_id[kKvCamTextChars]; // as the configuration manager gives it (at most 199 characters)
  wchar_t location_path[kKvCamTextChars];     // not filled by the listing
};

// A camera connection. Allocated zero-filled by the caller; filled by a successful KvCam_OpenDevice.
struct KvCamDevice {
  char transport_tag[4];                      // "KVCD": a locally attached USB camera
  uint32_t driver_handle_low;                  // the driver's handle of the registered device; 0: none
  uint32_t driver_handle_high;
  fcp::os::DevInst dev_inst;                  // the camera's own device node
  fcp::os::InterfaceHandle interface_handle;  // the opened device interface; 0: none
  int32_t root_hub_kind;                       // 3 USB 3 root hub, 2 USB 2, 1 other
  wchar_t display_name[kKvCamTextChars];
  int32_t class_kind;                         // 1 Image/Camera, 2 USB, 0 Media or other
  uint32_t ancestors[kKvCamMaxAncestors];    // [0] bus address before Vista (else 0), then hub .. root hub
  wchar_t location_path[kKvCamTextChars];
  int32_t interface_number;                   // the function's "MI_xx", 0 when none
  int32_t ancestor_count;                     // entries of `ancestors` in use, entry 0 included
};

// Class selector of KvCam_ListDevice: the image and camera setup classes.
inline constexpr uint32_t kKvCamListCameras = 1;

// The readiness wait of KvCam_OpenDevice: probes 200 ms apart while the driver answers "not ready",
// at most this many (10 s of waiting); the open then returns 0 as it does after any other answer.
inline constexpr int kKvCamReadinessProbes = 50;
inline constexpr uint32_t kKvCamReadinessPauseMs = 200;

// Records whether the system is Vista or later, opens the named mutex "ICOperateSync_2014_3_28" and
// starts Winsock 2.2. False when Winsock 2.2 is not available (or there is no camera-layer port).
bool KvxUpxCam_Init();
// The Vista flag KvxUpxCam_Init recorded last.
bool KvCam_IsVistaOrLater();

// Lists the present cameras: image-class devices first, then camera-class devices, each set in
// enumeration order, skipping device nodes with a problem. On success `*records` is an array of
// `*count` records the caller releases with KvCam_FreeDeviceList; 259 when there is none; the
// configuration manager's result when a listed device's ID cannot be read whole. On failure
// `*records` is null and `*count` 0; 87 when an output is missing (outputs untouched).
DWORD KvCam_ListDevice(KvCamDeviceInfo** records, int32_t* count, uint32_t class_selector);
void KvCam_FreeDeviceList(KvCamDeviceInfo* records);

// Opens the first device interface of `interface_class` on the node for exclusive use. 0 with the
// handle in `*handle`; 87 without an output; the configuration manager's result when the node's ID
// cannot be read whole; an empty set fails with its enumeration's error (259 when it gave none).
DWORD KvCam_OpenInterface(fcp::os::DevInst node, const fcp::text::Guid& interface_class,
                          fcp::os::InterfaceHandle* handle);

// Opens a listed camera through the driver (see KvCamDevice). 0 on success, otherwise a system error
// code, a configuration manager result (also when the ID of the camera, its composite device or a hub
// on the way cannot be read whole), or 2 when the walk to the root hub fails; on failure the object
// is left as given and nothing stays open.
DWORD KvCam_OpenDevice(KvCamDevice* device, fcp::os::DevInst node);
// Closes the interface handle and the driver registration an open left in the object.
void KvCam_CloseDevice(KvCamDevice* device);

// A vendor request with the device as recipient, carried as a vendor-device request block (function
// 0x0017) through the driver with `timeout_ms`. True when the submission succeeded and the block's
// status is success; `*moved` is then the block's TransferBufferLength as the device left it. `buffer`
// is only read for a host-to-device request, and receives `*moved` bytes for a device-to-host one.
bool KvCam_VendorRequest(const KvCamDevice& device, bool device_to_host, uint8_t bRequest, uint16_t wValue,
                         uint16_t wIndex, uint8_t* buffer, uint16_t length, uint32_t timeout_ms, uint32_t* moved);
