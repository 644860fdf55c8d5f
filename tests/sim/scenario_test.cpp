// Scenario files: the examples load, a saved workstation loads back the same, malformed and hostile
// files are refused with a message naming the file and the place.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include "fcp/maker_ids.h"
#include "sim/devices.h"
#include "sim/scenario.h"
#include "uvc/chip_memory_map.h"

namespace fcp::sim {
namespace {

const std::string kDir = FCP_SIM_SCENARIO_DIR;
constexpr size_t kLimit = 4 * 1024 * 1024;

std::string Repeat(const std::string& text, size_t times) {
  std::string out;
  out.reserve(text.size() * times);
  for (size_t i = 0; i < times; ++i) out += text;
  return out;
}

std::string Hex16Text(uint32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

// A chip camera whose views hold `views` (JSON text).
std::string CameraWithViews(const std::string& views) {
  return R"({"devices": [{"id":"cam0","kind":"chip_camera","ports":[1],"views":)" + views + "}]}";
}

TEST(Scenario, ExampleFilesLoad) {
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kDir)) {
    if (entry.path().extension() != ".json") continue;
    ++files;
    SCOPED_TRACE(entry.path().string());
    const ScenarioLoad load = LoadScenarioFile(entry.path().string());
    EXPECT_EQ(load.error, "");
    ASSERT_NE(load.workstation, nullptr);
    EXPECT_FALSE(load.description.empty());
  }
  EXPECT_GE(files, 6u);
}

TEST(Scenario, ExamplesHoldWhatTheySay) {
  auto blank = LoadScenarioFile(kDir + "/blank_chip.json").workstation;
  ASSERT_NE(blank, nullptr);
  auto cam = blank->Find("cam0");
  ASSERT_NE(cam, nullptr);
  EXPECT_EQ(cam->Place().ports, (std::vector<uint8_t>{1, 3}));
  EXPECT_EQ(cam->chip->ProductId(), fcp::maker::kPidsVzq2202[0]);
  EXPECT_EQ(cam->chip->Selector(), 1);
  EXPECT_EQ(Bytes(cam->chip->Config().begin() + 40, cam->chip->Config().begin() + 59), Bytes(19, 0));

  // Hidden from libusb, and still so after saving and loading again.
  auto hidden = LoadScenarioFile(kDir + "/blank_chip_passthrough.json").workstation;
  ASSERT_NE(hidden, nullptr);
  EXPECT_FALSE(hidden->Find("cam0")->libusb_visible);
  EXPECT_TRUE(hidden->Find("hub0")->libusb_visible);
  EXPECT_FALSE(LoadScenarioText(ScenarioJson(*hidden).dump(), "saved").workstation->Find("cam0")->libusb_visible);

  auto repaired = LoadScenarioFile(kDir + "/repaired_chip.json").workstation;
  ASSERT_NE(repaired, nullptr);
  EXPECT_EQ(repaired->Find("cam0")->chip->ReadWord(uvc::kCommitRegisterAddress), 0x90731484u);

  auto other = LoadScenarioFile(kDir + "/other_family.json").workstation;
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->Find("cam0")->chip->ProductId(), fcp::maker::kPidsVzq2203[0]);

  auto none = LoadScenarioFile(kDir + "/no_camera.json").workstation;
  ASSERT_NE(none, nullptr);
  for (const auto& device : none->Devices()) EXPECT_EQ(device->video, std::nullopt);

  auto software = LoadScenarioFile(kDir + "/software_camera.json").workstation;
  ASSERT_NE(software, nullptr);
  EXPECT_EQ(software->views["windows"]["software_cameras"].size(), 1u);

  auto faulty = LoadScenarioFile(kDir + "/faulty_commit.json").workstation;
  ASSERT_NE(faulty, nullptr);
  Bytes word = {0x84, 0x14, 0x73, 0x90};
  auto fc = faulty->Find("cam0");
  EXPECT_EQ(faulty->ControlTransfer(*fc, {0x40, 0x24, 0x401E, 0x0204, 4}, word).status, TransferStatus::kStall);
  EXPECT_TRUE(faulty->ControlTransfer(*fc, {0x40, 0x24, 0x401E, 0x0204, 4}, word).Ok());
}

TEST(Scenario, SavedStateLoadsBackTheSame) {
  auto load = LoadScenarioFile(kDir + "/mixed_workstation.json");
  ASSERT_NE(load.workstation, nullptr) << load.error;
  Workstation& ws = *load.workstation;
  ws.views["windows"]["software_cameras"] = nlohmann::json::array({{{"friendly_name", "Screen Capture"}}});
  // Change the chip as a check would.
  auto cam = ws.Find("cam0");
  Bytes patch = {1, 2, 3};
  ASSERT_TRUE(ws.ControlTransfer(*cam, {0x40, 0x51, 0, 40, 3}, patch).Ok());
  Bytes word = {0x84, 0x14, 0x73, 0x90};
  ASSERT_TRUE(ws.ControlTransfer(*cam, {0x40, 0x24, 0x401E, 0x0204, 4}, word).Ok());

  const std::string path = testing::TempDir() + "fcp_sim_saved_scenario.json";
  std::string error;
  ASSERT_TRUE(SaveScenarioFile(ws, path, &error)) << error;
  auto again = LoadScenarioFile(path);
  ASSERT_NE(again.workstation, nullptr) << again.error;
  EXPECT_EQ(ScenarioJson(*again.workstation), ScenarioJson(ws));
  EXPECT_EQ(again.workstation->views, ws.views);
  auto cam_again = again.workstation->Find("cam0");
  EXPECT_EQ(cam_again->chip->Config()[41], 2);
  EXPECT_EQ(cam_again->chip->CommitCount(), 1u);
  EXPECT_EQ(cam_again->Descriptors().configurations, cam->Descriptors().configurations);
  EXPECT_EQ(again.workstation->Find("cam2")->Descriptors().strings, ws.Find("cam2")->Descriptors().strings);
}

// Saving writes every key the loader read, in the form it reads: the runner continues from the saved
// state, so a key lost or changed on the way would change the next run.
TEST(Scenario, EveryShippedScenarioSavesAndLoadsBackEqual) {
  for (const auto& entry : std::filesystem::directory_iterator(kDir)) {
    if (entry.path().extension() != ".json") continue;
    SCOPED_TRACE(entry.path().string());
    const ScenarioLoad load = LoadScenarioFile(entry.path().string());
    ASSERT_NE(load.workstation, nullptr) << load.error;
    const std::string saved = ScenarioText(*load.workstation);
    const ScenarioLoad again = LoadScenarioText(saved, "saved.json");
    ASSERT_NE(again.workstation, nullptr) << again.error;
    EXPECT_EQ(ScenarioText(*again.workstation), saved);
    ASSERT_EQ(again.workstation->Devices().size(), load.workstation->Devices().size());
    for (size_t i = 0; i < load.workstation->Devices().size(); ++i) {
      const UsbDevice& before = *load.workstation->Devices()[i];
      const UsbDevice& after = *again.workstation->Devices()[i];
      SCOPED_TRACE(before.Id());
      EXPECT_EQ(after.Descriptors().device, before.Descriptors().device);
      EXPECT_EQ(after.Descriptors().configurations, before.Descriptors().configurations);
      EXPECT_EQ(after.Descriptors().strings, before.Descriptors().strings);
      EXPECT_EQ(after.Descriptors().dfu_functional, before.Descriptors().dfu_functional);
      EXPECT_EQ(after.Connected(), before.Connected());
      ASSERT_EQ(after.chip != nullptr, before.chip != nullptr);
      if (!before.chip) continue;
      EXPECT_EQ(after.chip->Config(), before.chip->Config());
      EXPECT_EQ(after.chip->StatusBlock(), before.chip->StatusBlock());
      EXPECT_EQ(after.chip->Signature(), before.chip->Signature());
      for (size_t region = 0; region < uvc::kChipMemoryMap.size(); ++region)
        EXPECT_EQ(after.chip->RegionBytes(region), before.chip->RegionBytes(region));
    }
  }
}

// A file that gives every key in the form the writer uses, none at its default, saves as itself
// (without what only loading uses: the description and the events).
TEST(Scenario, EveryKeySavesAsItWasRead) {
  std::string status_block = "0102F3F2" + std::string(2 * kStatusBlockSize - 8, '0');
  status_block[20] = 'A';  // one more byte of its own, beyond the product ID
  std::string config = std::string(2 * kConfigSize - 4, '0') + "C0DE";
  nlohmann::json file = nlohmann::json::parse(R"({
    "description": "every key",
    "latency_us": 7,
    "libusb_init_error": "LIBUSB_ERROR_NO_MEM",
    "views": {"windows": {"software_cameras": [{"friendly_name": "Screen Capture"}]}},
    "devices": [
      {"id": "cam0", "kind": "chip_camera", "bus": 2, "ports": [1, 3], "address": 5,
       "vendor_id": "0x1234", "product_id": "0x5678", "bcd_device": "0x0201",
       "max_packet_size0": 32, "xu_unit_id": 6,
       "dfu": {"present": false, "mode": "dfu", "protocol": 0, "alt_settings": 2,
               "functional_descriptor": "on_request", "descriptor_length": 7, "version": "0x0101",
               "transfer_size": 128},
       "strings": {"product": {"text": "Cam", "present": true, "declared_length": 40},
                   "serial": {"text": "", "present": false}},
       "langid_descriptor": "0203",
       "latency_us": 100, "connected": false, "libusb_visible": false,
       "libusb_open_error": "LIBUSB_ERROR_ACCESS", "not_ready": "always",
       "views": {"device_tree": {"friendly_name": "Front camera", "problem": 28}},
       "chip": {"product_id": "0xF2F3", "signature": "5651000000000001",
                "memory": [{"address": "0x20000010", "bytes": "0102"},
                           {"address": "0x401E0204", "bytes": "84147390"}],
                "selector": 0, "passthrough_word": "0x00000000", "commit_register": "0x90731484",
                "hardware_fault": true, "commit_count": 3},
       "faults": [{"action": "short", "nth": 2, "times": 3, "length": 4,
                   "match": {"request_type": 64, "request": 36, "value": 1, "index": 2}},
                  {"action": "wrong_data", "nth": 0, "data": "FF00"}]},
      {"id": "dfu0", "kind": "foreign_dfu", "bus": 1, "ports": [2], "address": 3,
       "vendor_id": "0xF0D2", "product_id": "0x0002", "bcd_device": "0x0100", "max_packet_size0": 8,
       "dfu": {"present": true, "mode": "runtime", "alt_settings": 4, "functional_descriptor": "configuration",
               "descriptor_length": 9, "version": "0x0110", "transfer_size": 0},
       "langids": ["0x0409", "0x0407"], "connected": true, "not_ready": 5}
    ],
    "events": [{"after_ms": 5, "device": "dfu0", "connected": false}]
  })");
  file["devices"][0]["chip"]["status_block"] = status_block;
  file["devices"][0]["chip"]["config"] = config;
  const ScenarioLoad load = LoadScenarioText(file.dump(), "every.json");
  ASSERT_NE(load.workstation, nullptr) << load.error;
  EXPECT_EQ(load.description, "every key");
  ASSERT_EQ(load.events.size(), 1u);

  nlohmann::json expected = file;
  expected.erase("description");
  expected.erase("events");
  EXPECT_EQ(ScenarioJson(*load.workstation), expected);

  // A chip named by its family saves its product ID; the status block's bytes 2-3 give way to it.
  const ScenarioLoad family = LoadScenarioText(
      R"({"devices": [{"id": "cam0", "kind": "chip_camera", "ports": [1],
          "chip": {"family": "VZQ2203", "status_block": ")" + status_block + R"("}}]})",
      "family.json");
  ASSERT_NE(family.workstation, nullptr) << family.error;
  const nlohmann::json chip = ScenarioJson(*family.workstation)["devices"][0]["chip"];
  EXPECT_FALSE(chip.contains("family"));
  EXPECT_EQ(chip["product_id"], Hex16Text(fcp::maker::kPidsVzq2203[0]));
  EXPECT_EQ(chip["status_block"].get<std::string>().substr(8), status_block.substr(8));
}

// A workstation built in code may hold what no file can say (a fault's length on a stall, a chip in a
// hub): the state leaves it out rather than writing a file that would not load.
TEST(Scenario, StateOfAWorkstationBuiltInCodeLoadsAgain) {
  Workstation ws;
  auto hub = MakeDevice([] {
    DeviceSpec shape = ChipCameraSpec("hub0", {1});
    shape.kind = DeviceKind::kHub;
    return shape;
  }());
  hub->chip = std::make_shared<Chip>(fcp::maker::kPidsVzq2202[0]);
  ASSERT_TRUE(ws.AddDevice(hub));
  FaultRule stall;
  stall.device = "hub0";
  stall.length = 3;
  stall.data = Bytes{1};
  ws.AddFault(stall);
  const ScenarioLoad again = LoadScenarioText(ScenarioText(ws), "state.json");
  ASSERT_NE(again.workstation, nullptr) << again.error;
  ASSERT_EQ(again.workstation->Faults().size(), 1u);
  EXPECT_EQ(again.workstation->Faults()[0].action, FaultAction::kStall);
  EXPECT_EQ(again.workstation->Find("hub0")->chip, nullptr);
}

// Memory saves as runs of nonzero bytes: a region full of them is one run as long as the region,
// and that loads again.
TEST(Scenario, MemoryRunAsLongAsARegionLoadsAgain) {
  Workstation ws;
  auto cam = MakeDevice(ChipCameraSpec("cam0", {1}));
  ASSERT_TRUE(cam->chip->WriteMemory(uvc::kWorkingMemory.base, Bytes(uvc::kWorkingMemory.size, 0x5A)));
  ASSERT_TRUE(ws.AddDevice(cam));
  const ScenarioLoad again = LoadScenarioText(ScenarioText(ws), "state.json");
  ASSERT_NE(again.workstation, nullptr) << again.error;
  EXPECT_EQ(again.workstation->Find("cam0")->chip->RegionBytes(0), cam->chip->RegionBytes(0));
}

TEST(Scenario, MalformedFilesAreRefusedWithThePlace) {
  struct Bad {
    std::string text;
    std::string error;
  };
  const std::string cam = R"({"devices": [{"id":"cam0","kind":"chip_camera","ports":[1])";
  const std::vector<Bad> cases = {
      {"{\n  \"devices\": [\n    {\"id\": }\n  ]\n}", "bad.json:3:12: syntax error"},
      {"", "bad.json:1:1: syntax error"},
      // A NUL byte would end the text for the JSON reader: a valid document before it, garbage after.
      {std::string("{\"devices\": []}\n\0{garbage", 25), "bad.json:2:1: NUL byte in the text"},
      {std::string("{\"devices\": [\0]}", 16), "bad.json:1:14: NUL byte in the text"},
      {R"({"devices": [], "colour": 1})", "bad.json: /colour: unknown key"},
      {R"({"devices": [], "views": []})", "bad.json: /views: must be an object"},
      {R"({})", "bad.json: /: needs devices"},
      {R"({"devices": {}})", "bad.json: /devices: must be an array"},
      {R"({"devices": [{"kind":"hub","ports":[1]}]})", "bad.json: /devices/0: needs an id"},
      {R"({"devices": [{"id":"a b","kind":"hub","ports":[1]}]})", "bad.json: /devices/0/id: must be 1-32 characters"},
      {R"({"devices": [{"id":"x","kind":"toaster","ports":[1]}]})", "bad.json: /devices/0/kind: must be one of chip_camera"},
      {R"({"devices": [{"id":"x","kind":"hub","ports":[]}]})", "bad.json: /devices/0/ports: must be an array of 1 to 7"},
      {R"({"devices": [{"id":"x","kind":"hub","ports":[1,2,3,4,5,6,7,8]}]})", "bad.json: /devices/0/ports: must be an array of 1 to 7"},
      {R"({"devices": [{"id":"x","kind":"hub","ports":[0]}]})", "bad.json: /devices/0/ports/0: 0 is out of range 1..255"},
      {R"({"devices": [{"id":"x","kind":"hub","ports":[1],"address":128}]})", "bad.json: /devices/0/address: 128 is out of range 1..127"},
      {R"({"devices": [{"id":"x","kind":"hub","ports":[1],"bus":-1}]})", "bad.json: /devices/0/bus: -1 is out of range 1..255"},
      {R"({"devices": [{"id":"x","kind":"hub","ports":[1],"vendor_id":"0xG1"}]})", "bad.json: /devices/0/vendor_id: must be a number or a \"0x...\" hex string"},
      {R"({"devices": [{"id":"x","kind":"hub","ports":[1],"vendor_id":1.5}]})", "bad.json: /devices/0/vendor_id: must be a number"},
      {R"({"devices": [{"id":"x","kind":"hub","ports":[1],"chip":{}}]})", "bad.json: /devices/0/chip: only a chip_camera has a chip"},
      {R"({"devices": [{"id":"x","kind":"foreign_camera","ports":[1],"dfu":{}}]})", "bad.json: /devices/0/dfu: this kind of device has no DFU function"},
      {cam + R"(,"chip":{"selector":256}}]})", "bad.json: /devices/0/chip/selector: 256 is out of range 0..255"},
      {cam + R"(,"chip":{"status_block":"00 01"}}]})", "bad.json: /devices/0/chip/status_block: holds 2 bytes, must hold 128"},
      {cam + R"(,"chip":{"signature":"5651"}}]})", "bad.json: /devices/0/chip/signature: holds 2 bytes, must hold 8"},
      {cam + R"(,"chip":{"config":"0"}}]})", "bad.json: /devices/0/chip/config: must be hex bytes"},
      {cam + R"(,"chip":{"family":"VZQ2202","product_id":1}}]})", "bad.json: /devices/0/chip/product_id: give either family or product_id"},
      {cam + R"(,"chip":{"family":"VZQ9999"}}]})", "bad.json: /devices/0/chip/family: must be one of VZQ2201, VZQ2202, VZQ2203"},
      {cam + R"(,"chip":{"memory":[{"address":"0x50000000","bytes":"01"}]}}]})", "bad.json: /devices/0/chip/memory/0: bytes lie outside the chip's memory map"},
      {cam + R"(,"chip":{"flavour":1}}]})", "bad.json: /devices/0/chip/flavour: unknown key"},
      {cam + R"(,"dfu":{"alt_settings":5}}]})", "bad.json: /devices/0/dfu/alt_settings: 5 is out of range 1..4"},
      {cam + R"(,"dfu":{"functional_descriptor":"attic"}}]})", "bad.json: /devices/0/dfu/functional_descriptor: must be one of"},
      {cam + R"(,"strings":{"colour":"red"}}]})", "bad.json: /devices/0/strings/colour: unknown string role"},
      {cam + R"(,"faults":[{"nth":2}]}]})", "bad.json: /devices/0/faults/0: needs an action"},
      {cam + R"(,"faults":[{"action":"explode"}]}]})", "bad.json: /devices/0/faults/0/action: must be one of"},
      {cam + R"(,"faults":[{"action":"stall","length":3}]}]})", "bad.json: /devices/0/faults/0/length: only a short fault has a length"},
      {cam + R"(,"faults":[{"action":"stall","match":{"request":256}}]}]})", "bad.json: /devices/0/faults/0/match/request: 256 is out of range 0..255"},
      {cam + R"(,"libusb_open_error":"LIBUSB_ERROR_SAD"}]})", "bad.json: /devices/0/libusb_open_error: must be one of"},
      {cam + R"(,"not_ready":"sometimes"}]})", "bad.json: /devices/0/not_ready: must be a number of answers or \"always\""},
      {cam + R"(,"not_ready":-1}]})", "bad.json: /devices/0/not_ready: -1 is out of range 0..1000000"},
      {cam + R"(},{"id":"cam0","kind":"hub","ports":[2]}]})", "bad.json: /devices/1: device id \"cam0\" is used twice"},
      {cam + R"(},{"id":"b","kind":"hub","ports":[1]}]})", "bad.json: /devices/1: devices \"cam0\" and \"b\" sit on the same port"},
      {"{\"devices\": [{\"id\":\"x\",\"kind\":\"hub\",\n  \"ports\":[1], \"bus\": -1e400}]}",
       "bad.json:2:23: number overflow parsing '-1e400'"},
      // Copying a document recurses once per level: 100000 levels would overflow the stack.
      {cam + R"(,"views":)" + Repeat(R"({"a":)", 100000) + "1" + Repeat("}", 100000) + "}]}",
       "bad.json: /devices/0/views" + Repeat("/a", 61) + ": nested deeper than 64 levels"},
  };
  for (const Bad& bad : cases) {
    SCOPED_TRACE(bad.text);
    const ScenarioLoad load = LoadScenarioText(bad.text, "bad.json");
    EXPECT_EQ(load.workstation, nullptr);
    EXPECT_EQ(load.error.rfind(bad.error, 0), 0u) << load.error;
  }
}

TEST(Scenario, FilesThatAreNoScenarioAreRefusedWithoutReadingThemWhole) {
  const std::string dir = testing::TempDir() + "fcp_sim_scenario_dir";
  std::filesystem::create_directories(dir);
  const std::string sparse = testing::TempDir() + "fcp_sim_sparse.json";  // 3 GB of holes
  { std::ofstream create(sparse); }
  std::filesystem::resize_file(sparse, 3ull << 30);
  const std::string over = testing::TempDir() + "fcp_sim_over_limit.json";
  { std::ofstream(over) << R"({"devices": [], "description": ")" << std::string(kLimit, 'x') << "\"}"; }
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/nonexistent/scenario.json", "/nonexistent/scenario.json: cannot be read"},
      {dir, dir + ": is a directory"},
      {sparse, sparse + ": file is larger than 4194304 bytes"},
      {over, over + ": file is larger than 4194304 bytes"},
      {"/dev/zero", "/dev/zero: is not a regular file"},
  };
  for (const auto& [path, error] : cases) {
    const ScenarioLoad load = LoadScenarioFile(path);
    EXPECT_EQ(load.workstation, nullptr) << path;
    EXPECT_EQ(load.error, error);
  }
  std::filesystem::remove(sparse);
  std::filesystem::remove(over);
}

// A FIFO that nobody writes to would keep an ordinary open waiting for ever.
TEST(Scenario, FifoWithoutAWriterIsRefusedAtOnce) {
  const std::string fifo = testing::TempDir() + "fcp_sim_fifo_" + std::to_string(::getpid()) + ".json";
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto load = std::async(std::launch::async, [&] { return LoadScenarioFile(fifo); });
  if (load.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "the load waits for a writer";
    ::close(::open(fifo.c_str(), O_WRONLY));  // a writer comes and goes: the load ends
  }
  const ScenarioLoad result = load.get();
  EXPECT_EQ(result.workstation, nullptr);
  EXPECT_EQ(result.error, fifo + ": is not a regular file");
  ::unlink(fifo.c_str());
}

// The runner saves the workstation after each run and continues from that file the next time.
TEST(Scenario, WhateverLoadsSavesWithinTheLimitAndLoadsAgain) {
  // 60 levels of arrays in the views, the deepest allowed, around 40000 numbers: indented, the state
  // would take over 5 MB, so it is written compact.
  const std::string deep = Repeat("[", 60) + "1" + Repeat(",1", 40000) + Repeat("]", 60);
  auto load = LoadScenarioText(CameraWithViews(R"({"a":)" + deep + "}"), "deep.json");
  ASSERT_NE(load.workstation, nullptr) << load.error;
  const std::string path = testing::TempDir() + "fcp_sim_deep_state.json";
  std::string error;
  ASSERT_TRUE(SaveScenarioFile(*load.workstation, path, &error)) << error;
  EXPECT_LE(std::filesystem::file_size(path), kLimit);
  auto again = LoadScenarioFile(path);
  ASSERT_NE(again.workstation, nullptr) << again.error;
  EXPECT_EQ(again.workstation->Find("cam0")->shape->views, load.workstation->Find("cam0")->shape->views);

  // One level more is refused.
  EXPECT_EQ(LoadScenarioText(CameraWithViews(R"({"a":[)" + deep + "]}"), "deeper.json").error,
            "deeper.json: /devices/0/views/a" + Repeat("/0", 60) + ": nested deeper than 64 levels");

  // A file under the limit whose state would not be: 1e14 is saved as 100000000000000.0.
  const std::string growing = CameraWithViews(R"({"a":[1e14)" + Repeat(",1e14", 250000) + "]}");
  ASSERT_LT(growing.size(), kLimit);
  const std::string refused = LoadScenarioText(growing, "growing.json").error;
  EXPECT_EQ(refused.rfind("growing.json: /: the workstation's saved state would take up to ", 0), 0u) << refused;
}

// A workstation that just fits the room the loader asks for, after everything a run may change in
// it: the commit register written (with zero bytes inside, splitting its run), the commit count at its
// largest, the camera unplugged by an event. The runner saves that state and must load it again.
TEST(Scenario, StateSavedAtTheEdgeOfTheRoomLoadsAgain) {
  auto padded = [](size_t length) { return CameraWithViews(R"({"pad":")" + std::string(length, 'x') + R"("})"); };
  // Find the padding that takes the room exactly: the refusal says how much too much a padding takes.
  const size_t too_much = kLimit - 200;
  const std::string refused = LoadScenarioText(padded(too_much), "edge.json").error;
  const std::string prefix = "edge.json: /: the workstation's saved state would take up to ";
  ASSERT_EQ(refused.rfind(prefix, 0), 0u) << refused;
  const size_t asked = std::stoul(refused.substr(prefix.size()));
  const size_t fits = too_much - (asked - kLimit);
  EXPECT_EQ(LoadScenarioText(padded(fits + 1), "edge.json").workstation, nullptr) << "one byte more does not fit";
  auto load = LoadScenarioText(padded(fits), "edge.json");
  ASSERT_NE(load.workstation, nullptr) << load.error;

  Chip& chip = *load.workstation->Find("cam0")->chip;
  chip.WriteWord(uvc::kCommitRegisterAddress, 0x00730084);
  chip.SetCommitCount(0xFFFFFFFF);
  load.workstation->SetConnected("cam0", false);

  const std::string path = testing::TempDir() + "fcp_sim_edge_state.json";
  std::string error;
  ASSERT_TRUE(SaveScenarioFile(*load.workstation, path, &error)) << error;
  const ScenarioLoad again = LoadScenarioFile(path);
  ASSERT_NE(again.workstation, nullptr) << again.error;
  EXPECT_EQ(again.workstation->Find("cam0")->chip->CommitCount(), 0xFFFFFFFFu);
  // And so on, run after run.
  ASSERT_TRUE(SaveScenarioFile(*again.workstation, path, &error)) << error;
  EXPECT_NE(LoadScenarioFile(path).workstation, nullptr);
  std::filesystem::remove(path);
}

TEST(Scenario, DeviceEventsInTimeOrder) {
  const std::string devices = R"({"devices": [{"id":"cam0","kind":"chip_camera","ports":[1]},)"
                              R"({"id":"cam1","kind":"hub","ports":[2],"connected":false}], "events": )";
  const ScenarioLoad load = LoadScenarioText(devices + R"([
      {"after_ms": 300, "device": "cam0", "connected": false},
      {"after_ms": -0, "device": "cam1", "connected": true},
      {"after_ms": "0x12C", "device": "cam1", "connected": false}]})",
                                             "events.json");
  ASSERT_NE(load.workstation, nullptr) << load.error;
  ASSERT_EQ(load.events.size(), 3u);
  EXPECT_EQ(load.events[0].after.count(), 0);
  EXPECT_EQ(load.events[0].device, "cam1");
  EXPECT_TRUE(load.events[0].connected);
  EXPECT_EQ(load.events[1].device, "cam0") << "equal times keep the order written";
  EXPECT_EQ(load.events[2].after.count(), 300);
  EXPECT_FALSE(load.workstation->Find("cam1")->Connected()) << "events change nothing before they are played";

  const std::pair<std::string, std::string> bad[] = {
      {R"({})", "bad.json: /events: must be an array"},
      {R"([{"after_ms": 0, "device": "cam0"}])", "bad.json: /events/0: needs after_ms, device and connected"},
      {R"([{"after_ms": 0, "device": "cam9", "connected": true}])", "bad.json: /events/0/device: no device \"cam9\""},
      {R"([{"after_ms": -1, "device": "cam0", "connected": true}])", "bad.json: /events/0/after_ms: -1 is out of range"},
      {R"([{"after_ms": 3600001, "device": "cam0", "connected": true}])", "bad.json: /events/0/after_ms: 3600001 is out"},
      {R"([{"after_ms": 0, "device": "cam0", "connected": 1}])", "bad.json: /events/0/connected: must be true or false"},
      {R"([{"after_ms": 0, "device": "cam0", "connected": true, "when": 1}])", "bad.json: /events/0/when: unknown key"},
  };
  for (const auto& [events, error] : bad) {
    SCOPED_TRACE(events);
    const ScenarioLoad refused = LoadScenarioText(devices + events + "}", "bad.json");
    EXPECT_EQ(refused.workstation, nullptr);
    EXPECT_EQ(refused.error.rfind(error, 0), 0u) << refused.error;
  }
}

}  // namespace
}  // namespace fcp::sim
