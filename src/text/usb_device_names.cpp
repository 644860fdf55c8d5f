#include "text/usb_device_names.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <iterator>

#include "text/ascii_case.h"
#include "text/device_classes.h"
#include "text/widening.h"

namespace fcp::text {

void FormatUsbLocation(std::span<const uint8_t> ports, char (&text)[kLocationTextLength + 1]) {
  unsigned level[kLocationLevels] = {};
  std::copy_n(ports.begin(), std::min(ports.size(), kLocationLevels), level);
  std::snprintf(text, sizeof text, "%03u.%03u.%03u.%03u.%03u.%03u", level[0], level[1], level[2], level[3], level[4],
                level[5]);
}

std::string UsbLocationText(std::span<const uint8_t> ports) {
  char text[kLocationTextLength + 1];
  FormatUsbLocation(ports, text);
  return text;
}

void FormatUsbDeviceName(uint16_t vendor_id, uint16_t product_id, uint16_t bcdDevice,
                         char (&text)[kUsbDeviceNameLength + 1]) {
  std::snprintf(text, sizeof text, "VID_%04X&PID_%04X&REV_%04X", static_cast<unsigned>(vendor_id),
                static_cast<unsigned>(product_id), static_cast<unsigned>(bcdDevice));
}

std::wstring UsbLocationInformation(std::wstring_view host_controller, std::span<const uint8_t> ports) {
  return std::wstring(host_controller) + L"." + WidenBytes(UsbLocationText(ports));
}

std::wstring UsbDeviceInstanceId(uint16_t vendor_id, uint16_t product_id, std::wstring_view instance) {
  wchar_t head[24];
  std::swprintf(head, std::size(head), L"USB\\VID_%04X&PID_%04X\\", static_cast<unsigned>(vendor_id),
                static_cast<unsigned>(product_id));
  return head + std::wstring(instance);
}

std::wstring UsbInterfaceInstanceId(uint16_t vendor_id, uint16_t product_id, uint8_t interface_number,
                                    std::wstring_view instance) {
  wchar_t head[32];
  std::swprintf(head, std::size(head), L"USB\\VID_%04X&PID_%04X&MI_%02X\\", static_cast<unsigned>(vendor_id),
                static_cast<unsigned>(product_id), static_cast<unsigned>(interface_number));
  return head + std::wstring(instance);
}

std::vector<std::wstring> UsbHardwareIds(uint16_t vendor_id, uint16_t product_id, uint16_t bcdDevice,
                                         std::optional<uint8_t> interface_number) {
  wchar_t interface_suffix[8] = L"";
  if (interface_number) std::swprintf(interface_suffix, std::size(interface_suffix), L"&MI_%02X", static_cast<unsigned>(*interface_number));
  wchar_t full[48], shorter[40];
  std::swprintf(full, std::size(full), L"USB\\VID_%04X&PID_%04X&REV_%04X%ls", static_cast<unsigned>(vendor_id),
                static_cast<unsigned>(product_id), static_cast<unsigned>(bcdDevice), interface_suffix);
  std::swprintf(shorter, std::size(shorter), L"USB\\VID_%04X&PID_%04X%ls", static_cast<unsigned>(vendor_id),
                static_cast<unsigned>(product_id), interface_suffix);
  return {full, shorter};
}

std::wstring GuidText(const text::Guid& g) {
  wchar_t text[40];
  std::swprintf(text, std::size(text), L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.data1), static_cast<unsigned>(g.data2), static_cast<unsigned>(g.data3),
                g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  return text;
}

std::wstring DeviceInterfacePath(std::wstring_view instance_id, const text::Guid& interface_class, bool kernel_streaming) {
  std::wstring id = LowerAscii(std::wstring(instance_id));
  std::replace(id.begin(), id.end(), L'\\', L'#');
  return L"\\\\?\\" + id + L"#" + LowerAscii(GuidText(interface_class)) + (kernel_streaming ? L"\\global" : L"");
}

std::wstring CaptureInterfacePath(std::wstring_view instance_id) {
  return DeviceInterfacePath(instance_id, interface_class::kKsCapture, true);
}

}  // namespace fcp::text
