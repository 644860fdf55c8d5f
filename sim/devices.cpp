#include "sim/devices.h"

#include "fcp/maker_ids.h"
#include "text/widening.h"

namespace fcp::sim {

namespace {

// Another maker's extension unit.
constexpr text::Guid kForeignXuGuid = text::GuidOf("{0F0C0F0C-5151-4A4A-8B8B-0F0C0F0C0F0C}");

constexpr uint8_t kIndexManufacturer = 1;
constexpr uint8_t kIndexProduct = 2;
constexpr uint8_t kIndexSerial = 3;
constexpr uint8_t kIndexVideoInterface = 4;
constexpr uint8_t kIndexDfuInterface = 5;

void Put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Set16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

Bytes StringDescriptor(const StringSpec& shape) {
  Bytes b = {0, 0x03};
  for (const char16_t unit : text::Utf16FromUtf8(shape.text)) Put16(b, unit);
  if (b.size() > 255) b.resize(255 - 1);  // keep whole code units within one descriptor
  b[0] = shape.declared_length ? *shape.declared_length : static_cast<uint8_t>(b.size());
  return b;
}

Bytes DeviceDescriptor(const DeviceSpec& shape, uint8_t cls, uint8_t sub, uint8_t proto, uint16_t vid,
                       uint16_t pid, const std::map<std::string, uint8_t>& index) {
  Bytes d = {18, 0x01};
  Put16(d, 0x0200);
  d.push_back(cls);
  d.push_back(sub);
  d.push_back(proto);
  d.push_back(shape.max_packet_size0);
  Put16(d, vid);
  Put16(d, pid);
  Put16(d, shape.bcd_device);
  d.push_back(index.at("manufacturer"));
  d.push_back(index.at("product"));
  d.push_back(index.at("serial"));
  d.push_back(1);  // bNumConfigurations
  return d;
}

Bytes DfuFunctionalDescriptor(const DeviceSpec& shape) {
  Bytes f = {shape.dfu_descriptor_length, 0x21, 0x07};  // can download, can upload, manifestation tolerant
  Put16(f, 1000);                                      // wDetachTimeOut (ms)
  Put16(f, shape.dfu_transfer_size);
  Put16(f, shape.dfu_version);
  f.resize(shape.dfu_descriptor_length, 0);
  return f;
}

Bytes InterfaceDescriptor(uint8_t number, uint8_t alt, uint8_t endpoints, uint8_t cls, uint8_t sub,
                          uint8_t proto, uint8_t string) {
  return {9, 0x04, number, alt, endpoints, cls, sub, proto, string};
}

Bytes Endpoint(uint8_t address, uint8_t attributes, uint16_t max_packet, uint8_t interval) {
  Bytes e = {7, 0x05, address, attributes};
  Put16(e, max_packet);
  e.push_back(interval);
  return e;
}

void Append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }

// The camera's video-control and video-streaming interfaces with their class-specific descriptors.
void AppendVideo(Bytes& config, const VideoFunction& video, uint8_t video_string) {
  // Interface association: video interface collection of the two interfaces.
  Append(config, {8, 0x0B, video.control_interface, 2, 0x0E, 0x03, 0x00, video_string});
  Append(config, InterfaceDescriptor(video.control_interface, 0, 1, 0x0E, 0x01, 0x00, video_string));
  const size_t header_at = config.size();
  Append(config, {13, 0x24, 0x01});
  Put16(config, 0x0100);  // bcdUVC
  Put16(config, 0);       // wTotalLength, set below
  Put32(config, 48000000);
  Append(config, {1, video.streaming_interface});
  // Camera input terminal 1.
  Append(config, {18, 0x24, 0x02, 1, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0});
  // Extension unit with the chip's controls 10 and 11 (bits 9 and 10 of bmControls).
  Bytes xu = {27, 0x24, 0x06, video.xu_unit_id};
  const auto guid = video.xu_guid.Bytes();
  xu.insert(xu.end(), guid.begin(), guid.end());
  Append(xu, {video.xu_controls, 1, 1, 2, 0x00, 0x06, 0});
  Append(config, xu);
  // Streaming output terminal 3, fed by the extension unit.
  Append(config, {9, 0x24, 0x03, 3, 0x01, 0x01, 0, video.xu_unit_id, 0});
  Set16(config, header_at + 5, static_cast<uint16_t>(config.size() - header_at));
  // Status interrupt endpoint and its class-specific companion.
  Append(config, Endpoint(0x83, 0x03, 16, 8));
  Append(config, {5, 0x25, 0x03, 16, 0});

  Append(config, InterfaceDescriptor(video.streaming_interface, 0, 1, 0x0E, 0x02, 0x00, 0));
  const size_t input_at = config.size();
  Append(config, {14, 0x24, 0x01, 1, 0, 0, 0x81, 0, 3, 0, 0, 0, 1, 0});
  Append(config, {11, 0x24, 0x06, 1, 1, 1, 1, 0, 0, 0, 0});  // MJPEG format
  Bytes frame = {30, 0x24, 0x07, 1, 0};
  Put16(frame, 640);
  Put16(frame, 480);
  Put32(frame, 640 * 480 * 16 * 30);  // dwMinBitRate
  Put32(frame, 640 * 480 * 16 * 30);  // dwMaxBitRate
  Put32(frame, 640 * 480 * 2);        // dwMaxVideoFrameBufferSize
  Put32(frame, 333333);               // dwDefaultFrameInterval (30 fps)
  frame.push_back(1);
  Put32(frame, 333333);
  Append(config, frame);
  Set16(config, input_at + 4, static_cast<uint16_t>(config.size() - input_at));
  Append(config, Endpoint(0x81, 0x02, 512, 0));
}

void AppendDfu(Bytes& config, const DeviceSpec& shape, const DfuFunction& dfu, uint8_t dfu_string) {
  for (uint8_t alt = 0; alt < dfu.alt_settings; ++alt)
    Append(config, InterfaceDescriptor(dfu.interface, alt, 0, 0xFE, 0x01,
                                       shape.dfu_protocol ? *shape.dfu_protocol : (dfu.dfu_mode ? 2 : 1), dfu_string));
  if (shape.dfu_descriptor == DfuDescriptorPlace::kInterface) Append(config, DfuFunctionalDescriptor(shape));
}

Bytes ConfigHeader() { return {9, 0x02, 0, 0, 0, 1, 0, 0x80, 250}; }

void FinishConfig(Bytes& config, uint8_t interfaces) {
  Set16(config, 2, static_cast<uint16_t>(config.size()));
  config[4] = interfaces;
}

}  // namespace

std::shared_ptr<UsbDevice> MakeDevice(const DeviceSpec& shape) {
  // Default texts per role, by kind.
  std::map<std::string, StringSpec> strings;
  switch (shape.kind) {
    case DeviceKind::kChipCamera:
      strings = {{"manufacturer", {"FCP Virtual Devices"}},
                 {"product", {shape.dfu_mode ? "Virtual Camera DFU" : "Virtual Camera"}},
                 {"serial", {"SIM-" + shape.id}},
                 {"video_interface", {""}},
                 {"dfu_interface", {"Virtual Camera DFU"}}};
      break;
    case DeviceKind::kForeignCamera:
      strings = {{"manufacturer", {"Other Maker"}}, {"product", {"Other Camera"}}, {"serial", {""}},
                 {"video_interface", {""}}, {"dfu_interface", {""}}};
      break;
    case DeviceKind::kForeignDfu:
      strings = {{"manufacturer", {"Other Maker"}}, {"product", {"Other DFU Device"}},
                 {"serial", {"OTHER-" + shape.id}}, {"video_interface", {""}}, {"dfu_interface", {"Other DFU"}}};
      break;
    case DeviceKind::kHub:
      strings = {{"manufacturer", {""}}, {"product", {"Virtual Hub"}}, {"serial", {""}},
                 {"video_interface", {""}}, {"dfu_interface", {""}}};
      break;
  }
  for (const auto& [role, s] : shape.strings) strings[role] = s;

  UsbDescriptors descriptors;
  const std::map<std::string, uint8_t> role_index = {{"manufacturer", kIndexManufacturer},
                                                     {"product", kIndexProduct},
                                                     {"serial", kIndexSerial},
                                                     {"video_interface", kIndexVideoInterface},
                                                     {"dfu_interface", kIndexDfuInterface}};
  std::map<std::string, uint8_t> index;
  for (const auto& [role, idx] : role_index) {
    const StringSpec& s = strings[role];
    const bool used = !s.text.empty() || !s.present || s.declared_length;
    index[role] = used ? idx : 0;
    if (used && s.present) descriptors.strings[idx] = StringDescriptor(s);
  }
  if (shape.langid_descriptor) {
    descriptors.strings[0] = *shape.langid_descriptor;
  } else if (!shape.langids.empty()) {
    Bytes list = {static_cast<uint8_t>(2 + 2 * shape.langids.size()), 0x03};
    for (uint16_t id : shape.langids) Put16(list, id);
    descriptors.strings[0] = list;
  }

  std::shared_ptr<Chip> chip;
  std::optional<VideoFunction> video;
  std::optional<DfuFunction> dfu;
  Bytes config = ConfigHeader();
  uint16_t vid = shape.vendor_id, pid = shape.product_id;
  uint8_t interfaces = 0;

  if (shape.kind == DeviceKind::kHub) {
    descriptors.device = DeviceDescriptor(shape, 0x09, 0x00, 0x01, vid ? vid : kHubVendorId, pid ? pid : 0x0E01, index);
    Append(config, InterfaceDescriptor(0, 0, 1, 0x09, 0x00, 0x00, 0));
    Append(config, Endpoint(0x81, 0x03, 1, 12));
    config[7] = 0xE0;  // self powered, remote wake-up
    interfaces = 1;
  } else {
    const bool camera_function = shape.kind == DeviceKind::kForeignCamera ||
                                 (shape.kind == DeviceKind::kChipCamera && !shape.dfu_mode);
    const bool dfu_function = shape.kind == DeviceKind::kForeignDfu ||
                              (shape.kind == DeviceKind::kChipCamera && (shape.has_dfu || shape.dfu_mode));
    if (shape.kind == DeviceKind::kChipCamera) {
      chip = shape.chip ? shape.chip
                       : std::make_shared<Chip>(shape.chip_product_id ? shape.chip_product_id
                                                                     : static_cast<uint16_t>(fcp::maker::kPidsVzq2202[0]));
      if (!vid) vid = fcp::maker::kUsbVendorId;
      if (!pid) pid = chip->ProductId();
    } else if (shape.kind == DeviceKind::kForeignCamera) {
      if (!vid) vid = kForeignCameraVendorId;
      if (!pid) pid = 0x0C01;
    } else {
      if (!vid) vid = kForeignDfuVendorId;
      if (!pid) pid = 0x0D01;
    }
    if (camera_function) {
      descriptors.device = DeviceDescriptor(shape, 0xEF, 0x02, 0x01, vid, pid, index);
    } else {
      descriptors.device = DeviceDescriptor(shape, 0x00, 0x00, 0x00, vid, pid, index);
    }
    if (shape.kind != DeviceKind::kForeignCamera && dfu_function &&
        shape.dfu_descriptor == DfuDescriptorPlace::kConfiguration)
      Append(config, DfuFunctionalDescriptor(shape));
    if (camera_function) {
      video = VideoFunction{0, 1, shape.xu_unit_id,
                            shape.kind == DeviceKind::kChipCamera ? uvc::kExtensionUnitGuid : kForeignXuGuid, 2};
      AppendVideo(config, *video, index["video_interface"]);
      interfaces = 2;
    }
    if (dfu_function) {
      dfu = DfuFunction{interfaces, shape.dfu_alt_settings,
                        shape.dfu_mode || shape.kind == DeviceKind::kForeignDfu};
      AppendDfu(config, shape, *dfu, index["dfu_interface"]);
      ++interfaces;
      if (shape.dfu_descriptor != DfuDescriptorPlace::kNowhere)
        descriptors.dfu_functional = DfuFunctionalDescriptor(shape);
    }
  }
  FinishConfig(config, interfaces);
  descriptors.configurations.push_back(std::move(config));

  auto device = std::make_shared<UsbDevice>(shape.id, shape.kind, std::move(descriptors), shape.place);
  device->video = video;
  device->dfu = dfu;
  device->chip = chip;
  auto kept = std::make_shared<DeviceSpec>(shape);
  kept->chip = nullptr;  // the device's chip is `device->chip`
  device->shape = std::move(kept);
  return device;
}

DeviceSpec ChipCameraSpec(std::string id, std::vector<uint8_t> ports, uint8_t bus) {
  DeviceSpec shape;
  shape.id = std::move(id);
  shape.place = UsbPlace{bus, std::move(ports), 0};
  return shape;
}

std::shared_ptr<UsbDevice> MakeChipCamera(std::string id, std::vector<uint8_t> ports, uint8_t bus) {
  return MakeDevice(ChipCameraSpec(std::move(id), std::move(ports), bus));
}

}  // namespace fcp::sim
