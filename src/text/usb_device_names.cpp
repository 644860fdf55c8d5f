#include "text/usb_device_names.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <iterator>

#include "text/ascii_case.h"
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

void FormatUsbDeviceName(uint16_t vendorId, uint16_t productId, uint16_t bcdDevice,
                         char (&text)[kUsbDeviceNameLength + 1]) {
  std::snprintf(text, sizeof text, "VID_%04X&PID_%04X&REV_%04X", static_cast<unsigned>(vendorId),
                static_cast<unsigned>(productId), static_cast<unsigned>(bcdDevice));
}

std::wstring UsbLocationInformation(std::wstring_view hostController, std::span<const uint8_t> ports) {
  return std::wstring(hostController) + L"." + WidenBytes(UsbLocationText(ports));
}

std::wstring UsbDeviceInstanceId(uint16_t vendorId, uint16_t productId, std::wstring_view instance) {
  wchar_t head[24];
  std::swprintf(head, std::size(head), L"USB\\VID_%04X&PID_%04X\\", static_cast<unsigned>(vendorId),
                static_cast<unsigned>(productId));
  return head + std::wstring(instance);
}

std::wstring UsbInterfaceInstanceId(uint16_t vendorId, uint16_t productId, uint8_t interfaceNumber,
                                    std::wstring_view instance) {
  wchar_t head[32];
  std::swprintf(head, std::size(head), L"USB\\VID_%04X&PID_%04X&MI_%02X\\", static_cast<unsigned>(vendorId),
                static_cast<unsigned>(productId), static_cast<unsigned>(interfaceNumber));
  return head + std::wstring(instance);
}

std::vector<std::wstring> UsbHardwareIds(uint16_t vendorId, uint16_t productId, uint16_t bcdDevice,
                                         std::optional<uint8_t> interfaceNumber) {
  wchar_t interfaceSuffix[8] = L"";
  if (interfaceNumber) std::swprintf(interfaceSuffix, std::size(interfaceSuffix), L"&MI_%02X", static_cast<unsigned>(*interfaceNumber));
  wchar_t full[48], shorter[40];
  std::swprintf(full, std::size(full), L"USB\\VID_%04X&PID_%04X&REV_%04X%ls", static_cast<unsigned>(vendorId),
                static_cast<unsigned>(productId), static_cast<unsigned>(bcdDevice), interfaceSuffix);
  std::swprintf(shorter, std::size(shorter), L"USB\\VID_%04X&PID_%04X%ls", static_cast<unsigned>(vendorId),
                static_cast<unsigned>(productId), interfaceSuffix);
  return {full, shorter};
}

std::wstring GuidText(const os::Guid& g) {
  wchar_t text[40];
  std::swprintf(text, std::size(text), L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.data1), static_cast<unsigned>(g.data2), static_cast<unsigned>(g.data3),
                g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  return text;
}

std::wstring DeviceInterfacePath(std::wstring_view instanceId, const os::Guid& interfaceClass, bool kernelStreaming) {
  std::wstring id = LowerAscii(std::wstring(instanceId));
  std::replace(id.begin(), id.end(), L'\\', L'#');
  return L"\\\\?\\" + id + L"#" + LowerAscii(GuidText(interfaceClass)) + (kernelStreaming ? L"\\global" : L"");
}

std::wstring CaptureInterfacePath(std::wstring_view instanceId) {
  return DeviceInterfacePath(instanceId, kCaptureCategory, true);
}

}  // namespace fcp::text
