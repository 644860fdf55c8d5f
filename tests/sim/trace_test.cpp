// The wire trace, byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/devices.h"
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
  ws.set_trace_sink([&](const std::string& line) { sink.push_back(line); });
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
  cam->set_connected(false);
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

}  // namespace
}  // namespace fcp::sim
