// The virtual workstation as the libusb API shows it: devices, descriptors laid out as libusb lays
// them out, places on the hub tree, strings, reference counts.
#include <libusb.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fcp/maker_ids.h"
#include "sim/devices.h"
#include "sim/libusb/sim_libusb.h"
#include "sim/workstation.h"

namespace fcp::sim {
namespace {

std::vector<uint8_t> Extra(const unsigned char* p, int n) { return std::vector<uint8_t>(p, p + n); }

// One context over a workstation; checks at the end that every libusb object was released.
class LibusbView : public testing::Test {
 protected:
  void Use(std::vector<DeviceSpec> specs) {
    ws_ = std::make_shared<Workstation>();
    for (const auto& shape : specs) ASSERT_TRUE(ws_->AddDevice(MakeDevice(shape)));
    scoped_ = std::make_unique<ScopedWorkstation>(ws_);
    ASSERT_EQ(libusb_init(&ctx_), 0);
    const ssize_t n = libusb_get_device_list(ctx_, &list_);
    ASSERT_GE(n, 0);
    count_ = static_cast<size_t>(n);
  }
  void TearDown() override {
    if (list_) libusb_free_device_list(list_, 1);
    if (ctx_) libusb_exit(ctx_);
    EXPECT_TRUE(LiveLibusbObjects().AllReleased());
  }
  libusb_device* Device(size_t i) { return i < count_ ? list_[i] : nullptr; }
  libusb_config_descriptor* Config(size_t i) {
    libusb_config_descriptor* config = nullptr;
    EXPECT_EQ(libusb_get_config_descriptor(Device(i), 0, &config), 0);
    return config;
  }

  std::shared_ptr<Workstation> ws_;
  std::unique_ptr<ScopedWorkstation> scoped_;
  libusb_context* ctx_ = nullptr;
  libusb_device** list_ = nullptr;
  size_t count_ = 0;
};

TEST_F(LibusbView, ChipCameraDescriptorsFieldByField) {
  DeviceSpec shape = ChipCameraSpec("cam0", {1, 3});
  shape.bcd_device = 0x0215;
  Use({shape});
  ASSERT_EQ(count_, 1u);

  libusb_device_descriptor dd{};
  ASSERT_EQ(libusb_get_device_descriptor(Device(0), &dd), 0);
  EXPECT_EQ(dd.bLength, 18);
  EXPECT_EQ(dd.bDescriptorType, LIBUSB_DT_DEVICE);
  EXPECT_EQ(dd.bcdUSB, 0x0200);
  EXPECT_EQ(dd.bDeviceClass, 0xEF);
  EXPECT_EQ(dd.bDeviceSubClass, 0x02);
  EXPECT_EQ(dd.bDeviceProtocol, 0x01);
  EXPECT_EQ(dd.bMaxPacketSize0, 64);
  EXPECT_EQ(dd.idVendor, fcp::maker::kUsbVendorId);
  EXPECT_EQ(dd.idProduct, fcp::maker::kPidsVzq2202[0]);
  EXPECT_EQ(dd.bcdDevice, 0x0215);
  EXPECT_EQ(dd.iManufacturer, 1);
  EXPECT_EQ(dd.iProduct, 2);
  EXPECT_EQ(dd.iSerialNumber, 3);
  EXPECT_EQ(dd.bNumConfigurations, 1);

  libusb_config_descriptor* config = Config(0);
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->bLength, 9);
  EXPECT_EQ(config->bDescriptorType, LIBUSB_DT_CONFIG);
  EXPECT_EQ(config->wTotalLength, ws_->Find("cam0")->Descriptors().configurations[0].size());
  EXPECT_EQ(config->bNumInterfaces, 3);
  EXPECT_EQ(config->bConfigurationValue, 1);
  EXPECT_EQ(config->bmAttributes, 0x80);
  EXPECT_EQ(config->MaxPower, 250);
  // The interface association precedes the first interface: the configuration's extra bytes.
  EXPECT_EQ(Extra(config->extra, config->extra_length), (std::vector<uint8_t>{8, 0x0B, 0, 2, 0x0E, 0x03, 0, 0}));

  // Video control: class-specific descriptors in the alternate setting's extra bytes, the
  // class-specific endpoint descriptor in the endpoint's.
  const libusb_interface& vc = config->interface[0];
  ASSERT_EQ(vc.num_altsetting, 1);
  const libusb_interface_descriptor& vca = vc.altsetting[0];
  EXPECT_EQ(vca.bInterfaceNumber, 0);
  EXPECT_EQ(vca.bInterfaceClass, 0x0E);
  EXPECT_EQ(vca.bInterfaceSubClass, 0x01);
  ASSERT_EQ(vca.extra_length, 13 + 18 + 27 + 9);
  EXPECT_EQ(vca.extra[0], 13);
  EXPECT_EQ(vca.extra[2], 0x01);              // VC header
  EXPECT_EQ(vca.extra[5] | vca.extra[6] << 8, 67);  // its wTotalLength
  const unsigned char* xu = vca.extra + 13 + 18;
  EXPECT_EQ(xu[0], 27);
  EXPECT_EQ(xu[2], 0x06);  // extension unit
  EXPECT_EQ(xu[3], 4);     // bUnitID
  const auto guid = text::GuidOf(fcp::maker::kXuGuid1).Bytes();
  EXPECT_EQ(0, std::memcmp(xu + 4, guid.data(), 16));
  EXPECT_EQ(xu[20], 2);     // bNumControls
  EXPECT_EQ(xu[21], 1);     // bNrInPins
  EXPECT_EQ(xu[22], 1);     // fed by the camera terminal
  EXPECT_EQ(xu[23], 2);     // bControlSize
  EXPECT_EQ(xu[24], 0x00);  // bmControls: controls 10 and 11
  EXPECT_EQ(xu[25], 0x06);
  ASSERT_EQ(vca.bNumEndpoints, 1);
  EXPECT_EQ(vca.endpoint[0].bEndpointAddress, 0x83);
  EXPECT_EQ(vca.endpoint[0].bmAttributes, 0x03);
  EXPECT_EQ(vca.endpoint[0].wMaxPacketSize, 16);
  EXPECT_EQ(Extra(vca.endpoint[0].extra, vca.endpoint[0].extra_length),
            (std::vector<uint8_t>{5, 0x25, 0x03, 16, 0}));

  const libusb_interface_descriptor& vs = config->interface[1].altsetting[0];
  EXPECT_EQ(vs.bInterfaceNumber, 1);
  EXPECT_EQ(vs.bInterfaceSubClass, 0x02);
  EXPECT_EQ(vs.extra_length, 14 + 11 + 30);
  ASSERT_EQ(vs.bNumEndpoints, 1);
  EXPECT_EQ(vs.endpoint[0].bEndpointAddress, 0x81);
  EXPECT_EQ(vs.endpoint[0].wMaxPacketSize, 512);
  EXPECT_EQ(vs.endpoint[0].extra_length, 0);

  const libusb_interface& dfu = config->interface[2];
  ASSERT_EQ(dfu.num_altsetting, 1);
  const libusb_interface_descriptor& da = dfu.altsetting[0];
  EXPECT_EQ(da.bInterfaceNumber, 2);
  EXPECT_EQ(da.bInterfaceClass, 0xFE);
  EXPECT_EQ(da.bInterfaceSubClass, 0x01);
  EXPECT_EQ(da.bInterfaceProtocol, 1);
  EXPECT_EQ(da.bNumEndpoints, 0);
  EXPECT_EQ(da.endpoint, nullptr);
  EXPECT_EQ(da.iInterface, 5);
  EXPECT_EQ(Extra(da.extra, da.extra_length),
            (std::vector<uint8_t>{9, 0x21, 0x07, 0xE8, 0x03, 0x40, 0x00, 0x10, 0x01}));
  libusb_free_config_descriptor(config);

  EXPECT_EQ(libusb_get_bus_number(Device(0)), 1);
  EXPECT_EQ(libusb_get_device_address(Device(0)), 2);
  uint8_t ports[8] = {};
  EXPECT_EQ(libusb_get_port_numbers(Device(0), ports, 8), 2);
  EXPECT_EQ(ports[0], 1);
  EXPECT_EQ(ports[1], 3);
  EXPECT_EQ(libusb_get_port_numbers(Device(0), ports, 1), LIBUSB_ERROR_OVERFLOW);
  EXPECT_EQ(libusb_get_port_number(Device(0)), 3);
}

TEST_F(LibusbView, DfuVariantsPlaceTheFunctionalDescriptor) {
  DeviceSpec in_config = ChipCameraSpec("config", {1});
  in_config.dfu_descriptor = DfuDescriptorPlace::kConfiguration;
  DeviceSpec two_alts = ChipCameraSpec("alts", {2});
  two_alts.dfu_alt_settings = 2;
  DeviceSpec dfu_mode = ChipCameraSpec("dfumode", {3});
  dfu_mode.dfu_mode = true;
  dfu_mode.dfu_descriptor_length = 7;
  DeviceSpec on_request = ChipCameraSpec("request", {4});
  on_request.dfu_descriptor = DfuDescriptorPlace::kOnRequest;
  DeviceSpec nowhere = ChipCameraSpec("nowhere", {5});
  nowhere.dfu_descriptor = DfuDescriptorPlace::kNowhere;
  Use({in_config, two_alts, dfu_mode, on_request, nowhere});
  ASSERT_EQ(count_, 5u);

  libusb_config_descriptor* c = Config(0);
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(c->extra_length, 9 + 8);
  EXPECT_EQ(c->extra[1], 0x21);
  EXPECT_EQ(c->extra[10], 0x0B);
  EXPECT_EQ(c->interface[2].altsetting[0].extra_length, 0);
  libusb_free_config_descriptor(c);

  c = Config(1);
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(c->interface[2].num_altsetting, 2);
  EXPECT_EQ(c->interface[2].altsetting[0].bAlternateSetting, 0);
  EXPECT_EQ(c->interface[2].altsetting[0].extra_length, 0);
  EXPECT_EQ(c->interface[2].altsetting[1].bAlternateSetting, 1);
  EXPECT_EQ(c->interface[2].altsetting[1].extra_length, 9);
  libusb_free_config_descriptor(c);

  libusb_device_descriptor dd{};
  ASSERT_EQ(libusb_get_device_descriptor(Device(2), &dd), 0);
  EXPECT_EQ(dd.bDeviceClass, 0);
  c = Config(2);
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(c->bNumInterfaces, 1);
  EXPECT_EQ(c->interface[0].altsetting[0].bInterfaceNumber, 0);
  EXPECT_EQ(c->interface[0].altsetting[0].bInterfaceProtocol, 2);
  EXPECT_EQ(Extra(c->interface[0].altsetting[0].extra, c->interface[0].altsetting[0].extra_length),
            (std::vector<uint8_t>{7, 0x21, 0x07, 0xE8, 0x03, 0x40, 0x00}));
  libusb_free_config_descriptor(c);

  // Only on request: no class descriptor anywhere, GET_DESCRIPTOR 0x21 answers.
  for (size_t i : {3u, 4u}) {
    c = Config(i);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->extra_length, 8);
    EXPECT_EQ(c->interface[2].altsetting[0].extra_length, 0);
    libusb_free_config_descriptor(c);
    libusb_device_handle* h = nullptr;
    ASSERT_EQ(libusb_open(Device(i), &h), 0);
    unsigned char fd[9] = {};
    const int r = libusb_control_transfer(h, 0x80, 0x06, 0x2100, 0, fd, 9, 1000);
    if (i == 3) {
      EXPECT_EQ(r, 9);
      EXPECT_EQ(fd[1], 0x21);
    } else {
      EXPECT_EQ(r, LIBUSB_ERROR_PIPE);
    }
    libusb_close(h);
  }
}

TEST_F(LibusbView, StringDescriptors) {
  DeviceSpec shape = ChipCameraSpec("cam0", {1});
  shape.strings["product"] = StringSpec("Kamera \xC3\xA9\xE2\x82\xAC");  // é, €
  StringSpec longer("DFU");
  longer.declared_length = 40;
  shape.strings["dfu_interface"] = longer;
  StringSpec missing;
  missing.present = false;
  shape.strings["serial"] = missing;
  Use({shape});
  libusb_device_handle* h = nullptr;
  ASSERT_EQ(libusb_open(Device(0), &h), 0);

  unsigned char text[64] = {};
  EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 2, text, sizeof text), 9);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "Kamera ??");
  // The serial number's index is there, its descriptor is not.
  EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 3, text, sizeof text), LIBUSB_ERROR_PIPE);

  unsigned char raw[255] = {};
  ASSERT_EQ(libusb_control_transfer(h, 0x80, 0x06, 0x0300, 0, raw, 255, 1000), 4);
  EXPECT_EQ(raw[0], 4);
  EXPECT_EQ(raw[2] | raw[3] << 8, 0x0409);
  // Declared 40 bytes, 8 sent.
  ASSERT_EQ(libusb_control_transfer(h, 0x80, 0x06, 0x0305, 0x0409, raw, 255, 1000), 8);
  EXPECT_EQ(raw[0], 40);
  // A language the device does not list.
  EXPECT_EQ(libusb_control_transfer(h, 0x80, 0x06, 0x0302, 0x0407, raw, 255, 1000), LIBUSB_ERROR_PIPE);
  libusb_close(h);
}

TEST_F(LibusbView, DevicesOfOtherMakersAndHubs) {
  DeviceSpec hub;
  hub.id = "hub";
  hub.kind = DeviceKind::kHub;
  hub.place = {1, {1}, 0};
  DeviceSpec camera = ChipCameraSpec("cam", {1, 2});
  DeviceSpec other;
  other.id = "other";
  other.kind = DeviceKind::kForeignCamera;
  other.place = {2, {1}, 0};
  DeviceSpec dfu;
  dfu.id = "otherdfu";
  dfu.kind = DeviceKind::kForeignDfu;
  dfu.place = {2, {2}, 0};
  dfu.dfu_protocol = 0;
  Use({hub, camera, other, dfu});
  ASSERT_EQ(count_, 4u);
  libusb_device_descriptor dd{};
  ASSERT_EQ(libusb_get_device_descriptor(Device(0), &dd), 0);
  EXPECT_EQ(dd.bDeviceClass, LIBUSB_CLASS_HUB);
  EXPECT_EQ(libusb_get_parent(Device(1)), Device(0));
  EXPECT_EQ(libusb_get_device_address(Device(2)), 2);  // addresses count per bus
  ASSERT_EQ(libusb_get_device_descriptor(Device(2), &dd), 0);
  EXPECT_EQ(dd.idVendor, kForeignCameraVendorId);

  libusb_config_descriptor* c = Config(2);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->bNumInterfaces, 2);  // video only
  libusb_free_config_descriptor(c);
  c = Config(3);
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(c->bNumInterfaces, 1);
  EXPECT_EQ(c->interface[0].altsetting[0].bInterfaceProtocol, 0);
  libusb_free_config_descriptor(c);

  // No chip behind them: vendor requests stall.
  for (size_t i : {2u, 3u}) {
    libusb_device_handle* h = nullptr;
    ASSERT_EQ(libusb_open(Device(i), &h), 0);
    unsigned char buf[59];
    EXPECT_EQ(libusb_control_transfer(h, 0xC0, 0x52, 0, 0, buf, 59, 1000), LIBUSB_ERROR_PIPE);
    libusb_close(h);
  }
}

TEST_F(LibusbView, VendorRequestsReachTheChip) {
  Use({ChipCameraSpec("cam0", {1})});
  libusb_device_handle* h = nullptr;
  ASSERT_EQ(libusb_open(Device(0), &h), 0);
  EXPECT_EQ(libusb_get_device(h), Device(0));
  unsigned char patch[3] = {0xAA, 0xBB, 0xCC};
  EXPECT_EQ(libusb_control_transfer(h, 0x40, 0x51, 0, 40, patch, 3, 1000), 3);
  unsigned char back[3] = {};
  EXPECT_EQ(libusb_control_transfer(h, 0xC0, 0x52, 0, 40, back, 3, 1000), 3);
  EXPECT_EQ(0, std::memcmp(back, patch, 3));
  EXPECT_EQ(ws_->Find("cam0")->chip->Config()[41], 0xBB);
  libusb_close(h);
}

TEST_F(LibusbView, ReferencesKeepDevicesAndOpenFailuresReport) {
  DeviceSpec locked = ChipCameraSpec("locked", {2});
  Use({ChipCameraSpec("cam0", {1}), locked});
  ws_->Find("locked")->libusb_open_error = LIBUSB_ERROR_ACCESS;
  libusb_device* kept = libusb_ref_device(Device(0));
  libusb_device_handle* h = nullptr;
  EXPECT_EQ(libusb_open(Device(1), &h), LIBUSB_ERROR_ACCESS);
  libusb_free_device_list(list_, 1);
  list_ = nullptr;
  EXPECT_EQ(LiveLibusbObjects().devices, 1);
  // The same device object comes back while a reference is held.
  libusb_device** again = nullptr;
  ASSERT_EQ(libusb_get_device_list(ctx_, &again), 2);
  EXPECT_EQ(again[0], kept);
  libusb_free_device_list(again, 1);
  ASSERT_EQ(libusb_open(kept, &h), 0);
  libusb_unref_device(kept);
  EXPECT_EQ(LiveLibusbObjects().devices, 1);  // the handle holds it
  libusb_close(h);
  EXPECT_EQ(LiveLibusbObjects().devices, 0);
}

TEST_F(LibusbView, DisconnectedDevicesAreNotListed) {
  Use({ChipCameraSpec("cam0", {1}), ChipCameraSpec("cam1", {2})});
  ws_->Find("cam0")->SetConnected(false);
  libusb_device** list = nullptr;
  ASSERT_EQ(libusb_get_device_list(ctx_, &list), 1);
  EXPECT_EQ(libusb_get_port_number(list[0]), 2);
  libusb_free_device_list(list, 1);
  libusb_device_handle* h = nullptr;
  EXPECT_EQ(libusb_open(Device(0), &h), LIBUSB_ERROR_NO_DEVICE);
  // A device no user-mode driver serves is not listed either.
  ws_->Find("cam1")->libusb_visible = false;
  ASSERT_EQ(libusb_get_device_list(ctx_, &list), 0);
  libusb_free_device_list(list, 1);
}

TEST(Libusb, InitFailureAndErrorNames) {
  auto ws = std::make_shared<Workstation>();
  ws->libusb_init_error = LIBUSB_ERROR_NO_MEM;
  ScopedWorkstation scoped(ws);
  libusb_context* ctx = nullptr;
  EXPECT_EQ(libusb_init(&ctx), LIBUSB_ERROR_NO_MEM);
  EXPECT_STREQ(libusb_error_name(LIBUSB_ERROR_PIPE), "LIBUSB_ERROR_PIPE");
  EXPECT_STREQ(libusb_error_name(LIBUSB_ERROR_NOT_FOUND), "LIBUSB_ERROR_NOT_FOUND");
  EXPECT_STREQ(libusb_error_name(-1000), "**UNKNOWN**");
  EXPECT_TRUE(LiveLibusbObjects().AllReleased());
}

// Two threads, each with its own context, on one workstation (the camera side's thread and the
// check worker may both use the workstation).
TEST(Libusb, ContextsOnSeveralThreads) {
  auto ws = std::make_shared<Workstation>();
  ASSERT_TRUE(ws->AddDevice(MakeChipCamera("cam0", {1})));
  ASSERT_TRUE(ws->AddDevice(MakeChipCamera("cam1", {2})));
  ScopedWorkstation scoped(ws);
  auto work = [](int which, int* ok) {
    for (int round = 0; round < 20; ++round) {
      libusb_context* ctx = nullptr;
      if (libusb_init(&ctx) != 0) return;
      libusb_device** list = nullptr;
      if (libusb_get_device_list(ctx, &list) == 2) {
        libusb_device_handle* h = nullptr;
        if (libusb_open(list[which], &h) == 0) {
          unsigned char buf[59];
          if (libusb_control_transfer(h, 0xC0, 0x52, 0, 0, buf, 59, 1000) == 59) ++*ok;
          libusb_close(h);
        }
      }
      libusb_free_device_list(list, 1);
      libusb_exit(ctx);
    }
  };
  int ok0 = 0, ok1 = 0;
  std::thread t0(work, 0, &ok0), t1(work, 1, &ok1);
  t0.join();
  t1.join();
  EXPECT_EQ(ok0, 20);
  EXPECT_EQ(ok1, 20);
  EXPECT_EQ(ws->TransferCount(), 40u);
  EXPECT_TRUE(LiveLibusbObjects().AllReleased());
}

// Raw configurations that are not well formed parse the way libusb parses them.
TEST(Libusb, MalformedConfigurations) {
  struct Raw {
    const char* name;
    Bytes bytes;
    int result;
    int interfaces;  // bNumInterfaces after parsing
  };
  const Bytes interface0 = {9, 0x04, 0, 0, 0, 0xFE, 0x01, 0x01, 0};
  auto config = [](uint8_t interfaces, const Bytes& body) {
    Bytes c = {9, 0x02, 0, 0, interfaces, 1, 0, 0x80, 50};
    c.insert(c.end(), body.begin(), body.end());
    c[2] = static_cast<uint8_t>(c.size());
    return c;
  };
  Bytes zero_length_extra = interface0;
  zero_length_extra.insert(zero_length_extra.end(), {0, 0x21});
  Bytes truncated_extra = interface0;
  truncated_extra.insert(truncated_extra.end(), {9, 0x21, 0, 0});
  const std::vector<Raw> raws = {
      {"declares more interfaces than it has", config(2, interface0), 0, 1},
      {"zero-length class descriptor", config(1, zero_length_extra), LIBUSB_ERROR_IO, 0},
      {"class descriptor runs past the end", config(1, truncated_extra), 0, 1},
      {"wrong type", Bytes{9, 0x03, 9, 0, 0, 1, 0, 0x80, 50}, LIBUSB_ERROR_IO, 0},
  };
  for (const Raw& raw : raws) {
    SCOPED_TRACE(raw.name);
    UsbDescriptors d;
    d.device = {18, 1, 0, 2, 0, 0, 0, 64, 1, 0, 2, 0, 0, 1, 0, 0, 0, 1};
    d.configurations = {raw.bytes};
    auto ws = std::make_shared<Workstation>();
    ASSERT_TRUE(ws->AddDevice(std::make_shared<UsbDevice>("raw", DeviceKind::kForeignDfu, d, UsbPlace{1, {1}, 0})));
    ScopedWorkstation scoped(ws);
    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx, &list), 1);
    libusb_config_descriptor* c = nullptr;
    EXPECT_EQ(libusb_get_config_descriptor(list[0], 0, &c), raw.result);
    if (raw.result == 0) {
      ASSERT_NE(c, nullptr);
      EXPECT_EQ(c->bNumInterfaces, raw.interfaces);
      libusb_free_config_descriptor(c);
    }
    libusb_free_device_list(list, 1);
    libusb_exit(ctx);
  }
  EXPECT_TRUE(LiveLibusbObjects().AllReleased());
}

}  // namespace
}  // namespace fcp::sim
