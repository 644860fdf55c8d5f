// The wire trace, byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <libusb.h>

#include "sim/devices.h"
#include "sim/scenario.h"
#include "sim/workstation.h"

namespace fcp::sim {
namespace {

TEST(Trace, LinesInTheEnvironmentFileAndTheSink) {
  const std::string path = testing::TempDir() + "fcp_sim_trace_test.txt";
  std::remove(path.c_str());
  ASSERT_EQ(setenv("FCP_SIM_TRACE", path.c_str(), 1), 0);

  Workstation ws;
  ASSERT_TRUE(ws.AddDevice(MakeChipCamera("cam0", {1})));
  auto cam = ws.Find("cam0");
  std::vector<std::string> sink;
  ws.SetTraceSink([&](const std::string& line) { sink.push_back(line); });
  FaultRule rule;
  rule.device = "cam0";
  rule.match.request = 0x24;
  ws.AddFault(rule);

  Bytes qualify = {0, 0xD0, 0, 0, 8, 0, 0, 0};
  ws.ControlTransfer(*cam, {0x21, 0x01, 0x0A00, 0x0400, 8}, qualify);
  Bytes answer(8);
  ws.ControlTransfer(*cam, {0xA1, 0x81, 0x0B00, 0x0400, 8}, answer);
  Bytes nothing(8);
  ws.ControlTransfer(*cam, {0xA1, 0x81, 0x0B00, 0x0400, 8}, nothing);
  Bytes commit = {0x84, 0x14, 0x73, 0x90};
  ws.ControlTransfer(*cam, {0x40, 0x24, 0x401E, 0x0204, 4}, commit);
  ws.ControlTransfer(*cam, {0x00, 0x09, 0x0001, 0, 0}, {});
  cam->SetConnected(false);
  Bytes config(2);
  ws.ControlTransfer(*cam, {0xC0, 0x52, 0, 0, 2}, config);
  unsetenv("FCP_SIM_TRACE");

  const std::string expected =
      "cam0 2101000A00040800 00D0000008000000 8\n"
      "cam0 A181000B00040800 564F4C4B54415200 8\n"
      "cam0 A181000B00040800 - STALL\n"
      "cam0 40241E4004020400 84147390 STALL fault=stall\n"
      "cam0 0009010000000000 - 0\n"
      "cam0 C052000000000200 - NO_DEVICE\n";
  std::ifstream in(path, std::ios::binary);
  std::stringstream file;
  file << in.rdbuf();
  EXPECT_EQ(file.str(), expected);
  std::string joined;
  for (const auto& line : sink) joined += line + "\n";
  EXPECT_EQ(joined, expected);
}

// A repair's DFU traffic on the blank chip of the example scenario, through the libusb view and the
// raw 8-byte entry, as it crosses the wire.
TEST(Trace, RepairTrafficOnTheBlankChip) {
  auto load = LoadScenarioFile(std::string(FCP_SIM_SCENARIO_DIR) + "/blank_chip.json");
  ASSERT_NE(load.workstation, nullptr) << load.error;
  std::vector<std::string> lines;
  load.workstation->SetTraceSink([&](const std::string& line) { lines.push_back(line); });
  ScopedWorkstation current(load.workstation);

  libusb_context* ctx = nullptr;
  ASSERT_EQ(libusb_init(&ctx), 0);
  libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, load.workstation->Find("cam0")->VendorId(),
                                                            load.workstation->Find("cam0")->ProductId());
  ASSERT_NE(h, nullptr);
  unsigned char config[59] = {};
  EXPECT_EQ(libusb_control_transfer(h, 0xC0, 0x52, 0, 0, config, 59, 1000), 59);
  unsigned char patch[19] = {0x04, 0x02, 0x1E, 0x40, 0x84, 0x14, 0x73, 0x90, 0x04, 0x02,
                             0x1E, 0x40, 0x84, 0x14, 0x73, 0x90, 0xE1, 0x95, 0x5A};
  EXPECT_EQ(libusb_control_transfer(h, 0x40, 0x51, 0, 40, patch, 19, 1000), 19);
  unsigned char back[19] = {};
  EXPECT_EQ(libusb_control_transfer(h, 0xC0, 0x52, 0, 40, back, 19, 1000), 19);
  libusb_close(h);
  libusb_exit(ctx);
  const uint8_t commit_setup[8] = {0x40, 0x24, 0x1E, 0x40, 0x04, 0x02, 0x04, 0x00};
  uint8_t commit[4] = {0x84, 0x14, 0x73, 0x90};
  EXPECT_TRUE(load.workstation->ControlTransfer(*load.workstation->Find("cam0"), commit_setup, commit).Ok());

  const std::vector<std::string> expected = {
      // Configuration bytes 0-39 of a factory chip (i * 29 + 7), then the blank patch area.
      "cam0 C052000000003B00 "
      "0724415E7B98B5D2EF0C294663809DBAD7F4112E4B6885A2BFDCF91633506D8AA7C4E1FE1B385572"
      "00000000000000000000000000000000000000 59",
      "cam0 4051000028001300 04021E408414739004021E4084147390E1955A 19",
      "cam0 C052000028001300 04021E408414739004021E4084147390E1955A 19",
      "cam0 40241E4004020400 84147390 4",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(load.workstation->Find("cam0")->chip->CommitCount(), 1u);
}

}  // namespace
}  // namespace fcp::sim
