// The DFU interface list built from the devices of a virtual workstation.
#include <libusb.h>

#include <cctype>
#include <functional>
#include <ostream>
#include <string>

#include "dfu/connection.h"
#include "dfu/diagnostic.h"
#include "dfu/interface_list.h"
#include "dfu/quirks.h"
#include "os/port.h"
#include "workstation_fixture.h"

namespace fcp::dfu {
namespace {

using testing_support::DfuWorkstationTest;
using testing_support::ForeignDfuSpec;
using testing_support::ListedInterfaces;
using testing_support::WithDfuProtocol;

constexpr char kDeducing[] = "Deducing device DFU version from functional descriptor length\n";
constexpr char kNoFunctional[] = "Device has DFU interface, but has no DFU functional descriptor";

// What one listed entry must show; the table checks every entry of a case against it.
struct Expected {
  int entries = 1;
  uint8_t bLength = 9;
  uint8_t type = 0x21;  // 0 where nothing was read and the length was assumed
  uint16_t version = 0x0110;
  uint16_t transfer_size = 64;
  bool dfu_mode = false;
  std::string location = "001.000.000.000.000.000";
  bool asked_for_descriptor = false;  // GET_DESCRIPTOR 0x2100 went to the device
  std::string printed;     // standard output of the listing
  std::string diagnostic;  // the diagnostic text after it
};

struct ListingCase {
  const char* what;
  std::function<void(sim::Workstation&)> plug;
  Expected expected;
};

// Test names and failure messages show the case by its description.
void PrintTo(const ListingCase& c, std::ostream* os) { *os << c.what; }

void PlugSpec(sim::Workstation& workstation, const sim::DeviceSpec& shape) {
  ASSERT_TRUE(workstation.AddDevice(sim::MakeDevice(shape)));
}

sim::DeviceSpec Camera() { return sim::ChipCameraSpec("cam", {1}); }

sim::DeviceSpec Camera(std::function<void(sim::DeviceSpec&)> change) {
  sim::DeviceSpec shape = Camera();
  change(shape);
  return shape;
}

Expected With(std::function<void(Expected&)> change) {
  Expected e;
  change(e);
  return e;
}

class Listing : public DfuWorkstationTest, public ::testing::WithParamInterface<ListingCase> {};

TEST_P(Listing, OverDeviceKinds) {
  const ListingCase& c = GetParam();
  c.plug(*workstation_);
  int descriptor_requests = 0;
  workstation_->SetTraceSink([&descriptor_requests](const std::string& line) {
    if (line.find(" 8006002100000900 ") != std::string::npos) ++descriptor_requests;
  });
  ClearDiagnostic();
  ::testing::internal::CaptureStdout();
  const int listed = DFU_ListDevice();
  const std::string printed = ::testing::internal::GetCapturedStdout();

  const Expected& e = c.expected;
  EXPECT_EQ(listed, e.entries);
  EXPECT_EQ(printed, e.printed);
  EXPECT_EQ(descriptor_requests > 0, e.asked_for_descriptor);
  EXPECT_EQ(std::string(Diagnostic()), e.diagnostic);
  const auto nodes = ListedInterfaces();
  ASSERT_EQ(static_cast<int>(nodes.size()), e.entries);
  for (const DfuInterface* node : nodes) {
    EXPECT_EQ(node->functional.bLength, e.bLength);
    EXPECT_EQ(node->functional.bDescriptorType, e.type);
    EXPECT_EQ(uint16_t{node->functional.bcdDFUVersion}, e.version);  // by value: the field is packed
    EXPECT_EQ(uint16_t{node->functional.wTransferSize}, e.transfer_size);
    EXPECT_EQ((node->flags & kDfuInterfaceInDfuMode) != 0, e.dfu_mode);
    EXPECT_EQ(node->location, e.location);
    EXPECT_EQ(node->handle, nullptr);
  }
}

std::string CaseName(const ::testing::TestParamInfo<ListingCase>& info) {
  std::string name = info.param.what;
  for (char& ch : name)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Listing,
    ::testing::Values(
        ListingCase{"camera without DFU interface",
                    [](sim::Workstation& w) { PlugSpec(w, Camera([](sim::DeviceSpec& s) { s.has_dfu = false; })); },
                    With([](Expected& e) { e.entries = 0; })},
        ListingCase{"other makers camera",
                    [](sim::Workstation& w) {
                      PlugSpec(w, Camera([](sim::DeviceSpec& s) { s.kind = sim::DeviceKind::kForeignCamera; }));
                    },
                    With([](Expected& e) { e.entries = 0; })},
        ListingCase{"functional descriptor in the configuration",
                    [](sim::Workstation& w) {
                      PlugSpec(w, Camera([](sim::DeviceSpec& s) {
                        s.dfu_descriptor = sim::DfuDescriptorPlace::kConfiguration;
                      }));
                    },
                    Expected{}},
        ListingCase{"functional descriptor in the interface", [](sim::Workstation& w) { PlugSpec(w, Camera()); },
                    Expected{}},
        ListingCase{"functional descriptor only on request",
                    [](sim::Workstation& w) {
                      PlugSpec(w, Camera([](sim::DeviceSpec& s) {
                        s.dfu_descriptor = sim::DfuDescriptorPlace::kOnRequest;
                      }));
                    },
                    With([](Expected& e) { e.asked_for_descriptor = true; })},
        ListingCase{"functional descriptor nowhere",
                    [](sim::Workstation& w) {
                      PlugSpec(w, Camera([](sim::DeviceSpec& s) {
                        s.dfu_descriptor = sim::DfuDescriptorPlace::kNowhere;
                      }));
                    },
                    With([](Expected& e) {
                      e.asked_for_descriptor = true;
                      e.bLength = 7;
                      e.type = 0;
                      e.version = 0x0100;
                      e.transfer_size = 0;
                      e.printed = kDeducing;
                      e.diagnostic = kNoFunctional;
                    })},
        ListingCase{"functional descriptor of seven bytes",
                    [](sim::Workstation& w) {
                      PlugSpec(w, Camera([](sim::DeviceSpec& s) {
                        s.dfu_descriptor_length = 7;
                        s.dfu_version = 0x0110;  // cut off: 7 bytes end before the version
                      }));
                    },
                    With([](Expected& e) {
                      e.bLength = 7;
                      e.version = 0x0100;
                      e.printed = kDeducing;
                    })},
        ListingCase{"functional descriptor of six bytes",
                    [](sim::Workstation& w) {
                      PlugSpec(w, Camera([](sim::DeviceSpec& s) { s.dfu_descriptor_length = 6; }));
                    },
                    With([](Expected& e) {
                      e.bLength = 6;
                      e.version = 0x0100;
                      e.transfer_size = 0;
                      e.printed =
                          "Error obtaining DFU functional descriptor\nPlease report this as a bug!\n"
                          "Warning: Assuming DFU version 1.0\nWarning: Transfer size can not be detected\n";
                    })},
        ListingCase{"two alternate settings",
                    [](sim::Workstation& w) {
                      PlugSpec(w, Camera([](sim::DeviceSpec& s) { s.dfu_alt_settings = 2; }));
                    },
                    With([](Expected& e) { e.entries = 2; })},
        ListingCase{"deeper than six hubs",
                    [](sim::Workstation& w) {
                      PlugSpec(w, Camera([](sim::DeviceSpec& s) { s.place.ports = {1, 2, 3, 4, 5, 6, 7}; }));
                    },
                    With([](Expected& e) { e.location = "001.002.003.004.005.006"; })},
        ListingCase{"root port 2", [](sim::Workstation& w) { PlugSpec(w, sim::ChipCameraSpec("cam", {2})); },
                    With([](Expected& e) { e.location = "002.000.000.000.000.000"; })},
        ListingCase{"hub port 3 below root port 1",
                    [](sim::Workstation& w) { PlugSpec(w, sim::ChipCameraSpec("cam", {1, 3})); },
                    With([](Expected& e) { e.location = "001.003.000.000.000.000"; })},
        ListingCase{"quirk device reads as DFU 1.1",
                    [](sim::Workstation& w) {
                      sim::DeviceSpec s = ForeignDfuSpec("quirk", {1});
                      s.vendor_id = 0x1EAF;
                      s.product_id = 0x0003;
                      s.bcd_device = 0x0200;
                      s.dfu_version = 0x011A;
                      PlugSpec(w, s);
                    },
                    With([](Expected& e) { e.dfu_mode = true; })},
        ListingCase{"chip in DFU mode",
                    [](sim::Workstation& w) { PlugSpec(w, Camera([](sim::DeviceSpec& s) { s.dfu_mode = true; })); },
                    With([](Expected& e) { e.dfu_mode = true; })},
        ListingCase{"DFU 1.1a with protocol 0",
                    [](sim::Workstation& w) {
                      ASSERT_TRUE(w.AddDevice(
                          WithDfuProtocol(Camera([](sim::DeviceSpec& s) { s.dfu_version = 0x011A; }), 0)));
                    },
                    With([](Expected& e) {
                      e.version = 0x011A;
                      e.dfu_mode = true;
                    })},
        ListingCase{"DFU 1.1 with protocol 0 is run-time",
                    [](sim::Workstation& w) { ASSERT_TRUE(w.AddDevice(WithDfuProtocol(Camera(), 0))); },
                    Expected{}},
        ListingCase{"vendor 1FC9 product 000C with protocol 1",
                    [](sim::Workstation& w) {
                      sim::DeviceSpec s = ForeignDfuSpec("rom", {1});
                      s.vendor_id = 0x1FC9;
                      s.product_id = 0x000C;
                      ASSERT_TRUE(w.AddDevice(WithDfuProtocol(s, 1)));
                    },
                    With([](Expected& e) { e.dfu_mode = true; })},
        ListingCase{"vendor 0B0E with protocol 0 and one interface",
                    [](sim::Workstation& w) {
                      sim::DeviceSpec s = ForeignDfuSpec("headset", {1});
                      s.vendor_id = 0x0B0E;
                      ASSERT_TRUE(w.AddDevice(WithDfuProtocol(s, 0)));
                    },
                    With([](Expected& e) { e.dfu_mode = true; })},
        ListingCase{"vendor 0B0E with protocol 0 beside a camera",
                    [](sim::Workstation& w) {
                      ASSERT_TRUE(
                          w.AddDevice(WithDfuProtocol(Camera([](sim::DeviceSpec& s) { s.vendor_id = 0x0B0E; }), 0)));
                    },
                    Expected{}},
        ListingCase{"device that refuses to open",
                    [](sim::Workstation& w) {
                      sim::DeviceSpec s = ForeignDfuSpec("locked", {1});
                      s.vendor_id = 0xABCD;
                      s.product_id = 0x00EF;
                      auto device = sim::MakeDevice(s);
                      device->libusb_open_error = LIBUSB_ERROR_ACCESS;
                      ASSERT_TRUE(w.AddDevice(device));
                    },
                    With([](Expected& e) {
                      e.entries = 0;
                      e.diagnostic = "Cannot open DFU device abcd:00ef";
                    })}),
    CaseName);

TEST_F(DfuWorkstationTest, EntryCarriesTheDeviceFacts) {
  sim::DeviceSpec shape = sim::ChipCameraSpec("cam", {1, 4}, 2);
  shape.bcd_device = 0x1a2b;
  shape.max_packet_size0 = 32;
  shape.dfu_alt_settings = 2;
  shape.strings["serial"] = {"SN-0042"};
  shape.strings["dfu_interface"] = {"Config Area"};
  auto device = Plug(shape);
  ASSERT_EQ(DFU_ListDevice(), 2);

  const auto nodes = ListedInterfaces();
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0]->alternate_setting, 1);  // found last, nearer the head
  EXPECT_EQ(nodes[1]->alternate_setting, 0);
  for (const DfuInterface* node : nodes) {
    char name[32];
    std::snprintf(name, sizeof name, "VID_%04X&PID_%04X&REV_1A2B", device->VendorId(), device->ProductId());
    EXPECT_STREQ(node->name, name);
    EXPECT_STREQ(node->location, "001.004.000.000.000.000");
    EXPECT_STREQ(node->serial_name, "SN-0042");
    EXPECT_STREQ(node->alt_name, "Config Area");
    EXPECT_EQ(node->vendor_id, device->VendorId());
    EXPECT_EQ(node->product_id, device->ProductId());
    EXPECT_EQ(node->bcdDevice, 0x1a2b);
    EXPECT_EQ(node->bus_number, 2);
    EXPECT_EQ(node->device_address, device->Place().address);
    EXPECT_EQ(node->configuration_value, 1);
    EXPECT_EQ(node->interface_number, device->dfu->interface);
    EXPECT_EQ(node->max_packet_size0, 32);
    EXPECT_EQ(node->quirks, 0);
    EXPECT_NE(node->device, nullptr);
  }
}

// The strings of an entry: what the device does wrong, what the entry shows, and what is left in the
// diagnostic text.
struct StringCase {
  const char* what;
  std::function<void(sim::DeviceSpec&)> change;
  std::string alt_name;
  std::string serial_name;
  std::string diagnostic;
};

// Test names and failure messages show the case by its description.
void PrintTo(const StringCase& c, std::ostream* os) { *os << c.what; }

class EntryStrings : public DfuWorkstationTest, public ::testing::WithParamInterface<StringCase> {};

TEST_P(EntryStrings, ReadAsAsciiOrUnknown) {
  sim::DeviceSpec shape = sim::ChipCameraSpec("cam", {1});
  shape.strings["serial"] = {"SN-7"};
  shape.strings["dfu_interface"] = {"Config"};
  GetParam().change(shape);
  Plug(shape);
  ClearDiagnostic();
  ASSERT_EQ(DFU_ListDevice(), 1);
  const DfuInterface* entry = DFU_InterfaceListHead();
  EXPECT_STREQ(entry->alt_name, GetParam().alt_name.c_str());
  EXPECT_STREQ(entry->serial_name, GetParam().serial_name.c_str());
  EXPECT_EQ(std::string(Diagnostic()), GetParam().diagnostic);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EntryStrings,
    ::testing::Values(
        StringCase{"plain", [](sim::DeviceSpec&) {}, "Config", "SN-7", ""},
        StringCase{"no LANGID list", [](sim::DeviceSpec& s) { s.langids.clear(); }, "UNKNOWN", "UNKNOWN",
                   "Failed to retrieve language identifiers"},
        StringCase{"LANGID list too short",
                   [](sim::DeviceSpec& s) { s.langid_descriptor = sim::Bytes{0x02, 0x03}; }, "UNKNOWN", "UNKNOWN",
                   "Broken LANGID string descriptor"},
        StringCase{"LANGID list of the wrong type",
                   [](sim::DeviceSpec& s) { s.langid_descriptor = sim::Bytes{0x04, 0x02, 0x09, 0x04}; }, "UNKNOWN",
                   "UNKNOWN", "Broken LANGID string descriptor"},
        StringCase{"string longer than sent",
                   [](sim::DeviceSpec& s) {
                     s.strings["serial"].declared_length = 40;
                   },
                   "Config", "SN-7", "Patching string descriptor 3 length (was 40, received 10)"},
        StringCase{"string shorter than sent",
                   [](sim::DeviceSpec& s) { s.strings["serial"].declared_length = 6; }, "Config", "SN", ""},
        StringCase{"characters outside ASCII",
                   [](sim::DeviceSpec& s) { s.strings["dfu_interface"] = {"Zone \xE2\x82\xAC\xE4\xB8\xAD"}; },
                   "Zone ??", "SN-7", ""},
        StringCase{"string that stalls",
                   [](sim::DeviceSpec& s) { s.strings["dfu_interface"].present = false; }, "UNKNOWN", "SN-7",
                   "Failed to retrieve string descriptor 5"},
        StringCase{"no string index", [](sim::DeviceSpec& s) { s.strings["serial"] = {""}; }, "Config", "UNKNOWN",
                   ""},
        StringCase{"empty string", [](sim::DeviceSpec& s) { s.strings["serial"].declared_length = 2; }, "Config",
                   "UNKNOWN", ""}),
    [](const ::testing::TestParamInfo<StringCase>& info) {
      std::string name = info.param.what;
      for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

// Allocation failure: every allocation the list makes fails in turn; the device being probed gives no
// entry, a later device is still listed, and nothing leaks.
class FailingMemory : public ListMemory {
 public:
  explicit FailingMemory(int fail_at) : fail_at_(fail_at) {}
  void* AllocateZeroed(std::size_t size) override {
    return ++count_ == fail_at_ ? nullptr : std::calloc(1, size);
  }
  int Count() const { return count_; }

 private:
  int fail_at_;
  int count_ = 0;
};

TEST_F(DfuWorkstationTest, OutOfMemoryDropsOnlyTheDeviceBeingProbed) {
  Plug(sim::ChipCameraSpec("first", {1}));
  Plug(sim::ChipCameraSpec("second", {2}));
  // An entry takes five allocations: itself and four strings.
  for (int fail_at = 1; fail_at <= 5; ++fail_at) {
    SCOPED_TRACE(fail_at);
    FailingMemory memory(fail_at);
    fcp::os::ScopedPort<ListMemory> port(&memory);
    ClearDiagnostic();
    ASSERT_EQ(DFU_ListDevice(), 1);
    EXPECT_STREQ(DFU_InterfaceListHead()->location, "002.000.000.000.000.000");
    EXPECT_EQ(std::string(Diagnostic()), fail_at == 1 ? "Cannot allocate memory of size " +
                                                           std::to_string(sizeof(DfuInterface)) + " bytes"
                                                     : std::string("Out of memory"));
    DFU_Close();
    EXPECT_TRUE(sim::LiveLibusbObjects().AllReleased());
  }
}

}  // namespace
}  // namespace fcp::dfu
