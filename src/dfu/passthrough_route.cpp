#include "dfu/passthrough_route.h"

#include <cstdio>
#include <cwchar>
#include <new>

#include "os/device_setup.h"
#include "os/port.h"
#include "passthrough/kvcam.h"
#include "passthrough/kvxupx.h"
#include "text/ascii_case.h"
#include "text/usb_device_names.h"
#include "text/widening.h"
#include "uvc/chip_memory_map.h"
#include "uvc/uvc.h"

namespace fcp::dfu {
namespace {

KvCamDevice* g_camera = nullptr;
wchar_t g_error_text[128];

void SetErrorText(const wchar_t* text) { std::swprintf(g_error_text, std::size(g_error_text), L"%ls", text); }

void ReleaseCamera() {
  if (g_camera == nullptr) return;
  KvCam_CloseDevice(g_camera);
  delete g_camera;
  g_camera = nullptr;
}

// Opens the listed camera whose device instance ID equals `device_id` through the driver.
int OpenCamera(const std::wstring& device_id) {
  ReleaseCamera();
  if (!KvxUpx_Init()) {
    SetErrorText(L"Failed to KvxUpx_Init. Maybe some old tool is executing.\n");
    return 0;
  }
  KvCamDeviceInfo* records = nullptr;
  int32_t count = 0;
  if (!KvxUpxCam_Init()) {
    SetErrorText(L"Failed to KvxUpxCam_Init.\n");
  } else if (KvCam_ListDevice(&records, &count, kKvCamListCameras) != 0) {
    SetErrorText(L"Failed to KvCam_ListDevice.\n");
  } else {
    for (int32_t i = 0; i < count; ++i) {
      if (!text::EqualsIgnoringCase(records[i].device_instance_id, device_id.c_str())) continue;
      g_camera = new (std::nothrow) KvCamDevice{};
      if (g_camera != nullptr && KvCam_OpenDevice(g_camera, records[i].dev_inst) == 0) {
        KvCam_FreeDeviceList(records);
        return 1;
      }
      SetErrorText(L"Cannot open camera device.\n");
      break;
    }
  }
  ReleaseCamera();
  KvxUpx_Close();
  KvCam_FreeDeviceList(records);
  return 0;
}

// 1234 -> 0x1234 (up to four digits).
uint16_t BcdOf(uint16_t decimal) {
  uint16_t bcd = 0;
  for (int shift = 0; shift < 16; shift += 4, decimal /= 10) bcd = static_cast<uint16_t>(bcd | (decimal % 10) << shift);
  return bcd;
}

}  // namespace

void AddPassThroughEntries(DeviceTable& table) {
  // Only where the platform reaches devices through the pass-through driver's camera layer.
  if (os::InstalledPort<os::DeviceSetup>() == nullptr) return;
  const int cameras = UVC_GetDeviceCount();
  for (int n = 0; n < cameras; ++n) {
    std::wstring device_id;
    if (!UVC_OpenByIndex(n) || !UVC_GetDeviceId(device_id)) continue;
    uint8_t word[4] = {};
    if (!UVC_ReadMem(uvc::kPassThroughWordAddress, word, sizeof word)) continue;
    if ((word[0] | word[1] | word[2] | word[3]) == 0) continue;
    std::wstring location;
    if (!UVC_GetLocationInfo(location)) continue;
    if (table.FindLocation(location.c_str()) >= 0) continue;  // listed already, through libusb or before
    uint16_t vid = 0, pid = 0, rev = 0;
    if (!UVC_GetVidPidRev(vid, pid, rev)) continue;
    // The hardware ID's revision digits were read as a decimal number; as BCD they are those digits again.
    char name[text::kUsbDeviceNameLength + 1];
    text::FormatUsbDeviceName(vid, pid, BcdOf(rev), name);
    if (!table.Add(location, text::WidenBytes(name), DevicePath::kPassThrough)) break;  // the table is full
  }
  UVC_Close();
}

int OpenPassThroughEntry(const DeviceTableEntry& entry) {
  if (!UVC_OpenByLocationInfo(entry.location.c_str())) return 0;
  std::wstring device_id;
  const bool known = UVC_GetDeviceId(device_id);
  UVC_Close();
  if (!known) return 0;
  return OpenCamera(device_id);
}

void ClosePassThrough() {
  ReleaseCamera();
  KvxUpx_Close();
}

int PassThroughVendorRequest(bool device_to_host, uint8_t bRequest, uint16_t wValue, uint16_t wIndex, uint8_t* buffer,
                             uint16_t length, uint32_t timeout_ms) {
  if (g_camera == nullptr) return -1;
  uint32_t moved = 0;
  if (!KvCam_VendorRequest(*g_camera, device_to_host, bRequest, wValue, wIndex, buffer, length, timeout_ms, &moved)) {
    return -1;
  }
  return static_cast<int>(moved);
}

const wchar_t* PassThroughErrorText() { return g_error_text; }

}  // namespace fcp::dfu
