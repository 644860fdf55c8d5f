// The DFU connection: the libusb context, the device table built from the DFU interface list, the
// open by table index or location, and the close.
#include "dfu/connection.h"

#include <libusb.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "dfu/device_table.h"
#include "dfu/dfu.h"
#include "dfu/diagnostic.h"
#include "dfu/interface_list.h"
#include "dfu/passthrough_route.h"
#include "dfu/probe.h"
#include "text/ascii_case.h"
#include "text/widening.h"
#include "uvc/location_devices.h"
#include "uvc/uvc.h"

namespace fcp::dfu {
namespace {

ConnectionState g_connection;
char g_error_text[kErrorTextSize];

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void SetErrorText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_error_text, sizeof g_error_text, format, args);
  va_end(args);
}

void AddLibusbEntries(DeviceTable& table) {
  int listed = 0;
  int total = 0;
  for (const DfuInterface* node = DFU_InterfaceListHead(); node != nullptr; node = node->next) {
    ++total;
    if (table.Add(text::WidenBytes(node->location), text::WidenBytes(node->name), DevicePath::kLibusb)) ++listed;
  }
  if (listed < total)
    SetDiagnostic("Device table is full: %d of %d DFU interfaces listed", listed, total);
}

// While the camera side sees any camera, a DFU interface opens only where one of them shares its
// location: that is what ties the DFU interface to the camera the operator selected.
bool CameraAgrees(const std::wstring& location) {
  if (UVC_GetDeviceCount() == 0) return true;
  if (!UVC_OpenByLocationInfo(location.c_str())) {
    SetErrorText("No camera at the location of the DFU interface");
    return false;
  }
  UVC_Close();
  return true;
}

// Whether `location` names more than one device. The location text leaves the bus out, so the table
// entry found for it could belong to any device at those ports: the DFU interfaces libusb lists there
// (one device per bus), and the cameras there, whose DFU function may be listed or reached through
// the pass-through route. A DFU interface and a camera are one device only when the interface's
// device is a camera too, with the camera's IDs.
bool NamesSeveralDevices(const wchar_t* location) {
  const DfuInterface* listed = nullptr;
  for (const DfuInterface* node = DFU_InterfaceListHead(); node != nullptr; node = node->next) {
    if (!text::EqualsIgnoringCase(text::WidenBytes(node->location), location)) continue;
    if (listed != nullptr && listed->bus_number != node->bus_number) return true;
    listed = node;
  }
  const std::vector<uvc::LocatedDevice> cameras = uvc::DevicesAtLocation(location);
  if (cameras.size() > 1) return true;
  if (listed == nullptr || cameras.empty()) return false;
  return (listed->flags & kDfuInterfaceBesideVideo) == 0 || listed->vendor_id != cameras.front().vid ||
         listed->product_id != cameras.front().pid;
}

// Frees the first `count` nodes, so that node `count` becomes the head.
void DropLeadingInterfaces(int count) {
  DfuInterface*& head = DFU_InterfaceListHead();
  for (int i = 0; i < count && head != nullptr; ++i) {
    DfuInterface* next = head->next;
    FreeInterface(head);
    head = next;
  }
}

int OpenLibusbEntry(int index) {
  // An earlier open on the same table freed this entry's node: never let another node stand in for it.
  if (index < g_connection.dropped_interfaces) {
    SetErrorText("No valid device");
    return 0;
  }
  const DeviceTableEntry& entry = *TheDeviceTable().At(index);
  if (!CameraAgrees(entry.location)) return 0;
  if (g_connection.pass_through_mode) ClosePassThrough();  // a second open without a close
  g_connection.pass_through_mode = false;

  DfuInterface* head = DFU_InterfaceListHead();
  if (head != nullptr && head->handle != nullptr) {  // a second open without a close
    libusb_close(head->handle);
    head->handle = nullptr;
  }
  DropLeadingInterfaces(index - g_connection.dropped_interfaces);
  g_connection.dropped_interfaces = index;

  head = DFU_InterfaceListHead();
  if (head == nullptr) {  // the list and the table were built together; keep the guard anyway
    SetErrorText("No valid device");
    return 0;
  }
  const int result = libusb_open(head->device, &head->handle);
  if (result != 0 || head->handle == nullptr) {
    head->handle = nullptr;
    SetErrorText("Cannot open device: %s", libusb_error_name(result));
    return 0;
  }
  return 1;
}

}  // namespace

const char* ErrorText() { return g_error_text; }

const ConnectionState& Connection() { return g_connection; }

}  // namespace fcp::dfu

using namespace fcp::dfu;

int DFU_ListDevice() {
  DFU_Close();
  const int result = libusb_init(&g_connection.context);
  if (result != 0) {
    g_connection.context = nullptr;
    SetErrorText("unable to initialize libusb: %s", libusb_error_name(result));
    return 0;
  }
  DFU_ProbeDevices(g_connection.context);

  DeviceTable& table = TheDeviceTable();
  AddLibusbEntries(table);

  AddPassThroughEntries(table);

  if (table.Count() == 0) SetErrorText("No valid device");
  return table.Count();
}

int DFU_OpenByLocationInfo(const wchar_t* location) {
  if (DFU_ListDevice() == 0) return 0;
  const int index = location != nullptr ? TheDeviceTable().FindLocation(location) : -1;
  if (index < 0) {
    SetErrorText("No valid device");
    return 0;
  }
  if (NamesSeveralDevices(location)) {
    SetErrorText("More than one device at the location");
    return 0;
  }
  return DFU_OpenDevice(index);
}

int DFU_OpenDevice(int index) {
  const DeviceTableEntry* entry = TheDeviceTable().At(index);
  if (entry == nullptr) {
    SetErrorText("No valid device");
    return 0;
  }
  if (entry->path == DevicePath::kPassThrough) {
    // A second open without a close lets go of the libusb handle first.
    if (DfuInterface* head = DFU_InterfaceListHead(); head != nullptr && head->handle != nullptr) {
      libusb_close(head->handle);
      head->handle = nullptr;
    }
    g_connection.pass_through_mode = true;
    return OpenPassThroughEntry(*entry);
  }
  return OpenLibusbEntry(index);
}

void DFU_Close() {
  if (g_connection.pass_through_mode) ClosePassThrough();
  DfuInterface* head = DFU_InterfaceListHead();
  if (head != nullptr && head->handle != nullptr) {
    libusb_close(head->handle);
    head->handle = nullptr;
  }
  DFU_FreeInterfaceList();
  if (g_connection.context != nullptr) {
    libusb_exit(g_connection.context);
    g_connection.context = nullptr;
  }
  g_connection.pass_through_mode = false;
  g_connection.dropped_interfaces = 0;
  TheDeviceTable().Clear();
}
