#include "sim/usb_device.h"

#include <algorithm>
#include <cstdio>

namespace fcp::sim {

namespace {
constexpr uint8_t kTypeMask = 0x60;
constexpr uint8_t kTypeStandard = 0x00;
constexpr uint8_t kTypeClass = 0x20;
constexpr uint8_t kTypeVendor = 0x40;
constexpr uint8_t kRecipientMask = 0x1F;
constexpr uint8_t kRecipientDevice = 0x00;
constexpr uint8_t kRecipientInterface = 0x01;

// Standard requests.
constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kClearFeature = 0x01;
constexpr uint8_t kSetFeature = 0x03;
constexpr uint8_t kSetAddress = 0x05;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kGetConfiguration = 0x08;
constexpr uint8_t kSetConfiguration = 0x09;
constexpr uint8_t kGetInterface = 0x0A;
constexpr uint8_t kSetInterface = 0x0B;

constexpr uint8_t kDtDevice = 0x01;
constexpr uint8_t kDtConfig = 0x02;
constexpr uint8_t kDtString = 0x03;
constexpr uint8_t kDtDfuFunctional = 0x21;

// UVC class requests.
constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kGetMin = 0x82;
constexpr uint8_t kGetMax = 0x83;
constexpr uint8_t kGetLen = 0x85;
constexpr uint8_t kGetInfo = 0x86;
constexpr uint8_t kGetDef = 0x87;
constexpr uint8_t kInfoGetSet = 0x03;  // GET and SET supported
constexpr uint8_t kVsProbeControl = 0x01;
constexpr uint8_t kVsCommitControl = 0x02;
constexpr size_t kProbeSize = 26;  // UVC 1.0 probe/commit structure

TransferResult SendBytes(std::span<const uint8_t> bytes, std::span<uint8_t> data) {
  const size_t n = std::min(bytes.size(), data.size());
  std::copy_n(bytes.begin(), n, data.begin());
  return TransferResult::Ok(static_cast<int>(n));
}

Bytes DefaultProbe() {
  Bytes p(kProbeSize, 0);
  p[2] = 1;  // bFormatIndex
  p[3] = 1;  // bFrameIndex
  const uint32_t interval = 333333, frame = 640 * 480 * 2, payload = 512;
  for (int i = 0; i < 4; ++i) {
    p[4 + i] = static_cast<uint8_t>(interval >> (8 * i));
    p[18 + i] = static_cast<uint8_t>(frame >> (8 * i));
    p[22 + i] = static_cast<uint8_t>(payload >> (8 * i));
  }
  return p;
}
}  // namespace

const std::map<std::string, DeviceKind>& DeviceKindNames() {
  static const std::map<std::string, DeviceKind> kNames = {{"chip_camera", DeviceKind::kChipCamera},
                                                          {"foreign_camera", DeviceKind::kForeignCamera},
                                                          {"foreign_dfu", DeviceKind::kForeignDfu},
                                                          {"hub", DeviceKind::kHub}};
  return kNames;
}

const char* DeviceKindName(DeviceKind kind) {
  for (const auto& [name, named] : DeviceKindNames())
    if (named == kind) return name.c_str();
  return "?";
}

UsbDevice::UsbDevice(std::string id, DeviceKind kind, UsbDescriptors descriptors, UsbPlace place)
    : id_(std::move(id)),
      kind_(kind),
      descriptors_(std::move(descriptors)),
      place_(std::move(place)),
      probe_(DefaultProbe()),
      commit_(DefaultProbe()) {
  // Plugged in means configured: the host's USB stack selects the first configuration.
  if (!descriptors_.configurations.empty() && descriptors_.configurations[0].size() > 5)
    configuration_ = descriptors_.configurations[0][5];
}

uint16_t UsbDevice::VendorId() const {
  return static_cast<uint16_t>(descriptors_.device[8] | descriptors_.device[9] << 8);
}
uint16_t UsbDevice::ProductId() const {
  return static_cast<uint16_t>(descriptors_.device[10] | descriptors_.device[11] << 8);
}
uint16_t UsbDevice::BcdDevice() const {
  return static_cast<uint16_t>(descriptors_.device[12] | descriptors_.device[13] << 8);
}

bool UsbDevice::TakeNotReadyAnswer() {
  int left = not_ready.load();
  while (left != 0) {
    if (left == kAlwaysNotReady || not_ready.compare_exchange_weak(left, left - 1)) return true;
  }
  return false;
}

TransferResult UsbDevice::Handle(const SetupPacket& setup, std::span<uint8_t> data) {
  const uint8_t type = setup.bmRequestType & kTypeMask;
  const uint8_t recipient = setup.bmRequestType & kRecipientMask;
  if (type == kTypeStandard) return HandleStandard(setup, data);
  if (type == kTypeClass && recipient == kRecipientInterface && video) {
    const uint8_t interface = static_cast<uint8_t>(setup.wIndex);
    const uint8_t entity = static_cast<uint8_t>(setup.wIndex >> 8);
    if (interface == video->control_interface && entity == video->xu_unit_id && entity != 0)
      return HandleExtensionUnit(setup, data);
    if (interface == video->streaming_interface && entity == 0) return HandleStreaming(setup, data);
    return TransferResult::Stall();
  }
  if (type == kTypeVendor && recipient == kRecipientDevice && chip) return chip->VendorRequest(setup, data);
  return TransferResult::Stall();
}

bool UsbDevice::LangIdKnown(uint16_t langid) const {
  auto it = descriptors_.strings.find(0);
  if (it == descriptors_.strings.end()) return false;
  const Bytes& list = it->second;
  // A broken list (too short, wrong type) makes the device answer any language.
  if (list.size() < 4 || list[1] != kDtString) return true;
  for (size_t i = 2; i + 1 < list.size(); i += 2)
    if ((list[i] | list[i + 1] << 8) == langid) return true;
  return false;
}

TransferResult UsbDevice::HandleGetDescriptor(const SetupPacket& setup, std::span<uint8_t> data) {
  const uint8_t type = static_cast<uint8_t>(setup.wValue >> 8);
  const uint8_t index = static_cast<uint8_t>(setup.wValue);
  switch (type) {
    case kDtDevice:
      return SendBytes(descriptors_.device, data);
    case kDtConfig:
      if (index >= descriptors_.configurations.size()) return TransferResult::Stall();
      return SendBytes(descriptors_.configurations[index], data);
    case kDtString: {
      auto it = descriptors_.strings.find(index);
      if (it == descriptors_.strings.end()) return TransferResult::Stall();
      if (index != 0 && !LangIdKnown(setup.wIndex)) return TransferResult::Stall();
      return SendBytes(it->second, data);
    }
    case kDtDfuFunctional:
      if (!descriptors_.dfu_functional) return TransferResult::Stall();
      return SendBytes(*descriptors_.dfu_functional, data);
    default:
      return TransferResult::Stall();
  }
}

TransferResult UsbDevice::HandleStandard(const SetupPacket& setup, std::span<uint8_t> data) {
  const bool in = setup.IsDeviceToHost();
  const uint8_t recipient = setup.bmRequestType & kRecipientMask;
  switch (setup.bRequest) {
    case kGetDescriptor:
      // Class descriptors may be asked of the device or of an interface.
      if (!in || (recipient != kRecipientDevice && recipient != kRecipientInterface))
        return TransferResult::Stall();
      if (recipient == kRecipientInterface && (setup.wValue >> 8) != kDtDfuFunctional)
        return TransferResult::Stall();
      return HandleGetDescriptor(setup, data);
    case kGetStatus: {
      if (!in) return TransferResult::Stall();
      const uint8_t status[2] = {0, 0};
      return SendBytes(status, data);
    }
    case kGetConfiguration:
      if (!in || recipient != kRecipientDevice) return TransferResult::Stall();
      return SendBytes(std::span<const uint8_t>(&configuration_, 1), data);
    case kSetConfiguration: {
      if (in || recipient != kRecipientDevice) return TransferResult::Stall();
      const uint8_t value = static_cast<uint8_t>(setup.wValue);
      bool known = value == 0;
      for (const Bytes& config : descriptors_.configurations) known |= config.size() > 5 && config[5] == value;
      if (!known) return TransferResult::Stall();
      configuration_ = value;
      alt_settings_.clear();
      return TransferResult::Ok(0);
    }
    case kGetInterface: {
      if (!in || recipient != kRecipientInterface || configuration_ == 0) return TransferResult::Stall();
      const uint8_t alt = alt_settings_[static_cast<uint8_t>(setup.wIndex)];
      return SendBytes(std::span<const uint8_t>(&alt, 1), data);
    }
    case kSetInterface:
      if (in || recipient != kRecipientInterface || configuration_ == 0) return TransferResult::Stall();
      alt_settings_[static_cast<uint8_t>(setup.wIndex)] = static_cast<uint8_t>(setup.wValue);
      return TransferResult::Ok(0);
    case kSetAddress:
    case kSetFeature:
    case kClearFeature:
      if (in) return TransferResult::Stall();
      return TransferResult::Ok(0);
    default:
      return TransferResult::Stall();
  }
}

TransferResult UsbDevice::HandleExtensionUnit(const SetupPacket& setup, std::span<uint8_t> data) {
  if (!chip || (setup.wValue & 0xFF) != 0) return TransferResult::Stall();
  const uint8_t control = static_cast<uint8_t>(setup.wValue >> 8);
  const bool known_control = control == uvc::kCommandControl || control == uvc::kDataControl;
  if (setup.bmRequestType == 0x21 && setup.bRequest == kSetCur) {
    return chip->XuSetCur(control, data) ? TransferResult::Ok(static_cast<int>(data.size()))
                                         : TransferResult::Stall();
  }
  if (setup.bmRequestType != 0xA1 || !known_control) return TransferResult::Stall();
  switch (setup.bRequest) {
    case kGetCur:
      return chip->XuGetCur(control, data) ? TransferResult::Ok(static_cast<int>(data.size()))
                                           : TransferResult::Stall();
    case kGetLen: {
      const uint8_t len[2] = {static_cast<uint8_t>(uvc::kControlSize), 0};
      if (data.size() != 2) return TransferResult::Stall();
      return SendBytes(len, data);
    }
    case kGetInfo: {
      if (data.size() != 1) return TransferResult::Stall();
      return SendBytes(std::span<const uint8_t>(&kInfoGetSet, 1), data);
    }
    default:
      return TransferResult::Stall();
  }
}

TransferResult UsbDevice::HandleStreaming(const SetupPacket& setup, std::span<uint8_t> data) {
  const uint8_t control = static_cast<uint8_t>(setup.wValue >> 8);
  if (control != kVsProbeControl && control != kVsCommitControl) return TransferResult::Stall();
  Bytes& value = control == kVsProbeControl ? probe_ : commit_;
  if (setup.bmRequestType == 0x21 && setup.bRequest == kSetCur) {
    if (data.size() != kProbeSize) return TransferResult::Stall();
    value.assign(data.begin(), data.end());
    return TransferResult::Ok(static_cast<int>(data.size()));
  }
  if (setup.bmRequestType != 0xA1) return TransferResult::Stall();
  switch (setup.bRequest) {
    case kGetCur:
      return SendBytes(value, data);
    case kGetMin:
    case kGetMax:
    case kGetDef:
      return SendBytes(DefaultProbe(), data);
    case kGetLen: {
      const uint8_t len[2] = {static_cast<uint8_t>(kProbeSize), 0};
      return SendBytes(len, data);
    }
    case kGetInfo:
      return SendBytes(std::span<const uint8_t>(&kInfoGetSet, 1), data);
    default:
      return TransferResult::Stall();
  }
}

}  // namespace fcp::sim
