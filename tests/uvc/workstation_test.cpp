// The camera side on the virtual workstation: selection among virtual cameras, and the
// extension-unit protocol compared byte for byte with the wire trace.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fcp/maker_ids.h"
#include "sim/devices.h"
#include "sim/scenario.h"
#include "sim/windows/windows_views.h"
#include "sim/workstation.h"
#include "text/usb_device_names.h"
#include "uvc/chip_memory_map.h"
#include "uvc/uvc.h"

namespace fcp::uvc::test {
namespace {

using sim::FaultAction;
using sim::FaultRule;

std::string Hex(const uint8_t* bytes, size_t n) {
  std::string text;
  char two[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02X", bytes[i]);
    text += two;
  }
  return text;
}

// One extension-unit request of camera `id` (unit 4 on interface 0) as the trace shows it.
std::string SetCur(const std::string& id, uint8_t control, std::array<uint8_t, 8> data, const char* outcome = "8") {
  char setup[17];
  std::snprintf(setup, sizeof setup, "210100%02X00040800", control);
  return id + " " + setup + " " + Hex(data.data(), 8) + " " + outcome;
}
std::string GetCur(const std::string& id, uint8_t control, std::array<uint8_t, 8> data, const char* outcome = "8") {
  char setup[17];
  std::snprintf(setup, sizeof setup, "A18100%02X00040800", control);
  return id + " " + setup + " " + (std::string(outcome) == "8" ? Hex(data.data(), 8) : "-") + " " + outcome;
}

class CameraSideOnWorkstation : public ::testing::Test {
 protected:
  void SetUp() override {
    workstation_->SetTraceSink([this](const std::string& line) { trace_.push_back(line); });
  }
  void TearDown() override { UVC_Close(); }

  std::shared_ptr<sim::UsbDevice> Add(const std::string& id, std::vector<uint8_t> ports) {
    auto device = sim::MakeChipCamera(id, std::move(ports));
    EXPECT_TRUE(workstation_->AddDevice(device));
    return device;
  }
  // Lines without the fault annotation, which the comparisons below do not care about.
  std::vector<std::string> Trace() const {
    std::vector<std::string> lines;
    for (std::string line : trace_) {
      if (const size_t at = line.find(" fault="); at != std::string::npos) line.resize(at);
      lines.push_back(line);
    }
    return lines;
  }
  static std::wstring Location() {
    std::wstring location;
    return UVC_GetLocationInfo(location) ? location : L"";
  }

  std::shared_ptr<sim::Workstation> workstation_ = std::make_shared<sim::Workstation>();
  sim::ScopedWorkstation current_{workstation_};
  sim::windows::ScopedWindowsViews views_;
  std::vector<std::string> trace_;
};

TEST_F(CameraSideOnWorkstation, OpenQualifiesAndReadsTheStatusBlockOnTheWire) {
  auto cam = Add("cam0", {1, 3});
  ASSERT_TRUE(UVC_OpenByIndex(0));
  std::vector<std::string> expected = {SetCur("cam0", 10, {0x00, 0xD0, 0, 0, 8, 0, 0, 0}),
                                       GetCur("cam0", 11, {'V', 'O', 'L', 'K', 'T', 'A', 'R', 0})};
  const auto& status = cam->chip->StatusBlock();
  for (uint8_t piece = 0; piece < 16; ++piece) {
    expected.push_back(SetCur("cam0", 10, {0x00, 0xCD, piece, 0, 8, 0, 0, 0}));
    std::array<uint8_t, 8> bytes;
    std::copy_n(status.begin() + piece * 8, 8, bytes.begin());
    expected.push_back(GetCur("cam0", 11, bytes));
  }
  EXPECT_EQ(Trace(), expected);

  std::wstring text;
  ASSERT_TRUE(UVC_GetDeviceName(text));
  wchar_t name[40];
  std::swprintf(name, 40, L"VID_%04X&PID_%04X&REV_0100", cam->VendorId(), cam->ProductId());
  EXPECT_EQ(text, name);
  // The registry's location and libusb's port path agree.
  EXPECT_EQ(Location(), L"001.003.000.000.000.000");
  uint16_t vid = 0, pid = 0, rev = 0;
  ASSERT_TRUE(UVC_GetVidPidRev(vid, pid, rev));
  EXPECT_EQ(vid, cam->VendorId());
  EXPECT_EQ(pid, cam->ProductId());
  EXPECT_EQ(rev, 100);
  EXPECT_TRUE(UVC_IsVZQ2202());
}

TEST_F(CameraSideOnWorkstation, ReadMemOnTheWire) {
  auto cam = Add("cam0", {2});
  const std::vector<uint8_t> bytes = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA};
  ASSERT_TRUE(cam->chip->WriteMemory(0x20000100, bytes));
  ASSERT_TRUE(UVC_OpenByIndex(0));
  for (uint32_t length : {0u, 1u, 4u, 8u, 9u}) {
    SCOPED_TRACE(length);
    trace_.clear();
    std::vector<uint8_t> buffer(12, 0xEE);
    ASSERT_TRUE(UVC_ReadMem(0x20000100, buffer.data(), length));
    // One command, then ceil(length / 8) pieces; the chip pads the last piece with zeros.
    std::vector<std::string> expected = {
        SetCur("cam0", 10, {0x00, 0xC2, 0x00, 0x01, static_cast<uint8_t>(length), 0x00, 0x00, 0x20})};
    for (uint32_t at = 0; at < length; at += 8) {
      std::array<uint8_t, 8> piece{};
      for (uint32_t i = at; i < length && i < at + 8; ++i) piece[i - at] = bytes[i];
      expected.push_back(GetCur("cam0", 11, piece));
    }
    EXPECT_EQ(Trace(), expected);
    // Only the asked-for bytes reach the buffer.
    for (size_t i = 0; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], i < length ? bytes[i] : 0xEE) << i;
  }
  // The selector register the repair reads, and the pass-through word.
  uint8_t selector = 0;
  ASSERT_TRUE(UVC_ReadMem(kSelectorAddress, &selector, 1));
  EXPECT_EQ(selector, cam->chip->Selector());
  uint8_t word[4] = {};
  ASSERT_TRUE(UVC_ReadMem(kPassThroughWordAddress, word, 4));
  EXPECT_EQ(word[0] | word[1] << 8 | word[2] << 16 | word[3] << 24, int(cam->chip->ReadWord(kPassThroughWordAddress)));
}

// A request the device fails is followed by one status read and one abort; a stall (the driver's
// ERROR_GEN_FAILURE) is not.
TEST_F(CameraSideOnWorkstation, RecoveryOnTheWire) {
  Add("cam0", {2});
  ASSERT_TRUE(UVC_OpenByIndex(0));
  const std::array<uint8_t, 8> command = {0x00, 0xC2, 0x00, 0x00, 16, 0x00, 0x10, 0x40};

  // Timeout of the second data read: status read (data still pending), abort; the next read works.
  FaultRule timeout;
  timeout.device = "cam0";
  timeout.match.request = 0x81;
  timeout.match.value = 0x0B00;
  timeout.nth = 2;
  timeout.action = FaultAction::kTimeout;
  workstation_->AddFault(timeout);
  trace_.clear();
  uint8_t buffer[16];
  EXPECT_FALSE(UVC_ReadMem(0x40100000, buffer, 16));
  const auto lines = Trace();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], SetCur("cam0", 10, command));
  EXPECT_EQ(lines[2], GetCur("cam0", 11, {}, "TIMEOUT"));
  EXPECT_EQ(lines[3].substr(0, 22), "cam0 A181000A00040800 ");
  EXPECT_EQ(lines[3].substr(22, 2), "01");  // VCMD_STS_DATA_IN: the piece that timed out is still there
  EXPECT_EQ(lines[4], SetCur("cam0", 10, {0xFF, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(UVC_ReadMem(0x40100000, buffer, 16));

  // A stalled command: nothing after it.
  FaultRule stall;
  stall.device = "cam0";
  stall.match.request = 0x01;
  stall.nth = 1;
  stall.action = FaultAction::kStall;
  workstation_->AddFault(stall);
  trace_.clear();
  EXPECT_FALSE(UVC_ReadMem(0x40100000, buffer, 16));
  EXPECT_EQ(Trace(), (std::vector<std::string>{SetCur("cam0", 10, command, "STALL")}));
}

// A data read that moves fewer than its 8 bytes is a failed read, followed by the recovery like any
// other failure: the buffer would otherwise keep zeros the device never sent.
TEST_F(CameraSideOnWorkstation, ShortReadFailsAndRecovers) {
  auto cam = Add("cam0", {2});
  ASSERT_TRUE(UVC_OpenByIndex(0));
  for (uint16_t moved : {0, 1, 7}) {
    SCOPED_TRACE(moved);
    FaultRule short_read;
    short_read.device = "cam0";
    short_read.match.request = 0x81;
    short_read.match.value = 0x0B00;
    short_read.nth = 1;
    short_read.action = FaultAction::kShort;
    short_read.length = moved;
    workstation_->AddFault(short_read);
    trace_.clear();
    uint8_t selector = 0xEE;
    EXPECT_FALSE(UVC_ReadMem(0x401002E4, &selector, 1));
    EXPECT_EQ(selector, 0xEE) << "nothing reaches the buffer";
    const auto lines = Trace();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1].substr(0, 22), "cam0 A181000B00040800 ");
    EXPECT_EQ(lines[2].substr(0, 22), "cam0 A181000A00040800 ");  // the status read
    EXPECT_EQ(lines[3], SetCur("cam0", 10, {0xFF, 0, 0, 0, 0, 0, 0, 0}));
  }
  uint8_t selector = 0;
  ASSERT_TRUE(UVC_ReadMem(0x401002E4, &selector, 1));
  EXPECT_EQ(selector, cam->chip->Selector());
}

// Two cameras at the same hub ports of two buses share their location: it selects neither, and no
// request reaches either camera.
TEST_F(CameraSideOnWorkstation, LocationOnTwoBusesOpensNoCamera) {
  Add("cam0", {1, 3});
  auto other = sim::MakeChipCamera("cam1", {1, 3}, 2);
  ASSERT_TRUE(workstation_->AddDevice(other));
  trace_.clear();
  EXPECT_FALSE(UVC_OpenByLocationInfo(L"001.003.000.000.000.000"));
  EXPECT_EQ(Trace(), std::vector<std::string>{});
  other->SetConnected(false);
  ASSERT_TRUE(UVC_OpenByLocationInfo(L"001.003.000.000.000.000"));
  std::wstring device_id;
  ASSERT_TRUE(UVC_GetDeviceId(device_id));
  EXPECT_EQ(trace_.front().rfind("cam0 ", 0), 0u);
}

TEST_F(CameraSideOnWorkstation, SelectionsAmongVirtualCameras) {
  auto cam0 = Add("cam0", {1});
  auto cam1 = Add("cam1", {2, 4});
  sim::DeviceSpec foreign = sim::ChipCameraSpec("other", {3});
  foreign.kind = sim::DeviceKind::kForeignCamera;
  ASSERT_TRUE(workstation_->AddDevice(sim::MakeDevice(foreign)));
  auto wrong_signature = Add("cam3", {5});
  wrong_signature->chip->Signature()[7] = 'X';
  EXPECT_EQ(UVC_GetDeviceCount(), 4);

  ASSERT_TRUE(UVC_OpenDefault());
  EXPECT_EQ(Location(), L"001.000.000.000.000.000");
  views_.Views().SetSensorCamera("cam0", 0);
  ASSERT_TRUE(UVC_OpenDefault());
  EXPECT_EQ(Location(), L"002.004.000.000.000.000");
  // The ID selection ignores the sensor mark: the first camera with the IDs.
  ASSERT_TRUE(UVC_OpenByVidPid(cam0->VendorId(), cam0->ProductId()));
  EXPECT_EQ(Location(), L"001.000.000.000.000.000");
  ASSERT_TRUE(UVC_OpenByLocationInfo(L"002.004.000.000.000.000"));
  EXPECT_EQ(Location(), L"002.004.000.000.000.000");
  // Neither the foreign camera nor the one with the wrong signature is ever selected.
  EXPECT_FALSE(UVC_OpenByLocationInfo(L"003.000.000.000.000.000"));
  EXPECT_FALSE(UVC_OpenByLocationInfo(L"005.000.000.000.000.000"));
  EXPECT_FALSE(UVC_OpenByIndex(2));
  EXPECT_FALSE(UVC_OpenByIndex(3));
  // Unplugged: gone from every view.
  cam1->SetConnected(false);
  EXPECT_EQ(UVC_GetDeviceCount(), 3);
  EXPECT_FALSE(UVC_OpenByLocationInfo(L"002.004.000.000.000.000"));
}

TEST_F(CameraSideOnWorkstation, ChipFamilyFromTheChipsOwnReport) {
  sim::DeviceSpec shape = sim::ChipCameraSpec("cam0", {1});
  shape.chip_product_id = static_cast<uint16_t>(fcp::maker::kPidsVzq2203[2]);
  ASSERT_TRUE(workstation_->AddDevice(sim::MakeDevice(shape)));
  ASSERT_TRUE(UVC_OpenByIndex(0));
  EXPECT_FALSE(UVC_IsVZQ2202());
  workstation_->Find("cam0")->chip->SetProductId(static_cast<uint16_t>(fcp::maker::kPidsVzq2202[3]));
  ASSERT_TRUE(UVC_OpenByIndex(0));  // the status block is read at open
  EXPECT_TRUE(UVC_IsVZQ2202());
}

TEST(CameraSideFromScenario, SensorCameraMarkedInTheScenario) {
  const auto load = sim::LoadScenarioText(R"({"devices": [
      {"id": "cam0", "kind": "chip_camera", "ports": [1], "views": {"windows": {"sensor_camera_mode": 0}}},
      {"id": "cam1", "kind": "chip_camera", "ports": [2]}]})",
                                          "sensor.json");
  ASSERT_TRUE(load.workstation) << load.error;
  sim::ScopedWorkstation current{load.workstation};
  sim::windows::ScopedWindowsViews views;
  ASSERT_TRUE(UVC_OpenByIndex(0));
  EXPECT_TRUE(UVC_IsSensorCamera());
  ASSERT_TRUE(UVC_OpenDefault());
  std::wstring location;
  ASSERT_TRUE(UVC_GetLocationInfo(location));
  EXPECT_EQ(location, L"002.000.000.000.000.000");
  UVC_Close();
}

TEST(CameraSideFromScenario, SoftwareCameraIsPassedOver) {
  const auto load = sim::LoadScenarioText(R"({"devices": [{"id": "cam0", "kind": "chip_camera", "ports": [1]}],
      "views": {"windows": {"software_cameras": [{"friendly_name": "Bildschirm 画面 😀"}]}}})",
                                          "software.json");
  ASSERT_TRUE(load.workstation) << load.error;
  sim::ScopedWorkstation current{load.workstation};
  sim::windows::ScopedWindowsViews views;
  // Listed first, with a name but no device path, as the platform's enumerator shows one.
  std::unique_ptr<os::MonikerEnumerator> inputs;
  ASSERT_EQ(views.Views().VideoInputs().CreateVideoInputEnumerator(inputs), S_OK);
  std::unique_ptr<os::DeviceMoniker> software;
  ASSERT_EQ(inputs->Next(software), S_OK);
  std::unique_ptr<os::PropertyBag> bag;
  ASSERT_EQ(software->BindToStorage(bag), S_OK);
  std::wstring text;
  EXPECT_EQ(bag->Read(L"DevicePath", text), os::HresultFromWin32(2));
  EXPECT_EQ(bag->Read(L"FriendlyName", text), S_OK);
  EXPECT_EQ(text, L"Bildschirm 画面 😀");

  EXPECT_EQ(UVC_GetDeviceCount(), 2);
  EXPECT_FALSE(UVC_OpenByIndex(0));
  ASSERT_TRUE(UVC_OpenDefault());
  ASSERT_TRUE(UVC_GetLocationInfo(text));
  EXPECT_EQ(text, L"001.000.000.000.000.000");
  UVC_Close();
}

// Every shipped scenario: each location libusb reports for a camera selects the first camera with
// the chip at that location, under the name its descriptors give, with its chip's family; a location
// without one selects nothing. The location names hub ports only, not the bus: where cameras at the
// same ports of two buses share it, whatever their maker, it selects nothing either.
TEST(CameraSideFromScenario, ShippedScenarios) {
  for (const auto& file : std::filesystem::directory_iterator(FCP_SIM_SCENARIO_DIR)) {
    SCOPED_TRACE(file.path().filename().string());
    const auto load = sim::LoadScenarioFile(file.path().string());
    ASSERT_TRUE(load.workstation) << load.error;
    sim::ScopedWorkstation current{load.workstation};
    sim::windows::ScopedWindowsViews views;
    std::vector<std::shared_ptr<sim::UsbDevice>> cameras;
    for (const auto& device : load.workstation->ConnectedDevices()) {
      if (device->video) cameras.push_back(device);
    }
    const auto windows = load.workstation->views.find("windows");
    const size_t software_cameras =
        windows != load.workstation->views.end() ? windows->value("software_cameras", nlohmann::json::array()).size() : 0;
    EXPECT_EQ(UVC_GetDeviceCount(), static_cast<int>(cameras.size() + software_cameras));
    for (const auto& camera : cameras) {
      const std::string location = text::UsbLocationText(camera->Place().ports);
      SCOPED_TRACE(camera->Id() + " at " + location);
      std::shared_ptr<sim::UsbDevice> expected;
      bool shared = false;
      for (const auto& other : cameras) {
        if (text::UsbLocationText(other->Place().ports) != location) continue;
        shared = shared || other->Place().bus != camera->Place().bus;
        if (!expected && other->chip && other->chip->Signature() == kVendorSignature) expected = other;
      }
      if (shared) expected = nullptr;
      ASSERT_EQ(UVC_OpenByLocationInfo(std::wstring(location.begin(), location.end()).c_str()) != 0,
                expected != nullptr);
      if (!expected) continue;
      std::wstring name;
      ASSERT_TRUE(UVC_GetDeviceName(name));
      wchar_t wanted[40];
      std::swprintf(wanted, 40, L"VID_%04X&PID_%04X&REV_%04X", expected->VendorId(), expected->ProductId(),
                    expected->BcdDevice());
      EXPECT_EQ(name, wanted);
      const wchar_t* family = LookupChipFamily(expected->chip->ProductId());
      EXPECT_EQ(UVC_IsVZQ2202() != 0, family != nullptr && std::wstring(family) == L"VZQ2202");
    }
    UVC_Close();
  }
}

TEST(CameraSideWithoutWorkstation, NoCameras) {
  sim::ScopedWorkstation none{nullptr};
  sim::windows::ScopedWindowsViews views;
  EXPECT_EQ(UVC_GetDeviceCount(), 0);
  EXPECT_FALSE(UVC_OpenDefault());
}

}  // namespace
}  // namespace fcp::uvc::test
