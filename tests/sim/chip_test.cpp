// The chip's answers to extension-unit commands and DFU vendor requests, on the wire.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fcp/maker_ids.h"
#include "sim/devices.h"
#include "sim/workstation.h"

namespace fcp::sim {
namespace {

constexpr uint16_t kXuIndex = 4 << 8 | 0;  // unit 4 on video-control interface 0

struct Step {
  SetupPacket setup;
  Bytes out;                     // data sent (host-to-device)
  bool stalls = false;
  std::optional<Bytes> in;       // expected data received (device-to-host)
};

Step Command(Bytes block, bool stalls = false) { return {{0x21, 0x01, 0x0A00, kXuIndex, 8}, std::move(block), stalls, {}}; }
Step ReadData(std::optional<Bytes> expected, bool stalls = false) {
  return {{0xA1, 0x81, 0x0B00, kXuIndex, 8}, {}, stalls, std::move(expected)};
}
Step WriteData(Bytes piece) { return {{0x21, 0x01, 0x0B00, kXuIndex, 8}, std::move(piece), false, {}}; }
Step Vendor(uint8_t type, uint8_t request, uint16_t value, uint16_t index, Bytes out, uint16_t length,
            bool stalls = false, std::optional<Bytes> in = {}) {
  return {{type, request, value, index, length}, std::move(out), stalls, std::move(in)};
}
Bytes Cmd(uint8_t code, uint32_t address, uint16_t length, uint8_t byte0 = 0) {
  return {byte0, code, uint8_t(address), uint8_t(address >> 8), uint8_t(length), uint8_t(length >> 8),
          uint8_t(address >> 16), uint8_t(address >> 24)};
}
Bytes Zeros(size_t n) { return Bytes(n, 0); }
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes FactoryConfig(size_t from, size_t n) {
  Bytes b;
  for (size_t i = from; i < from + n; ++i) b.push_back(i < 40 ? uint8_t(i * 29 + 7) : 0);
  return b;
}

const uint16_t kPid = static_cast<uint16_t>(fcp::maker::kPidsVzq2202[0]);
const Bytes kPatch = {0x04, 0x02, 0x1E, 0x40, 0x84, 0x14, 0x73, 0x90, 0x04, 0x02,
                      0x1E, 0x40, 0x84, 0x14, 0x73, 0x90, 0xE1, 0x95, 0x5A};

struct Case {
  std::string name;
  std::vector<Step> steps;
  uint8_t status_after;  // byte 0 of the status reply at the end
  bool hardware_fault = false;
};

std::vector<Case> Cases() {
  const Bytes signature = {'V', 'O', 'L', 'K', 'T', 'A', 'R', 0};
  const uint8_t vid_lo = uint8_t(fcp::maker::kUsbVendorId), vid_hi = uint8_t(fcp::maker::kUsbVendorId >> 8);
  return {
      {"QualifyAnswersTheSignature", {Command(Cmd(0xD0, 0, 8)), ReadData(signature)}, 0xFE},
      {"StatusPieceZeroCarriesTheProductId",
       {Command(Cmd(0xCD, 0, 8)), ReadData(Bytes{vid_lo, vid_hi, uint8_t(kPid), uint8_t(kPid >> 8), 0, 1, 0, 0})},
       0xFE},
      {"LastStatusPiece", {Command(Cmd(0xCD, 15, 8)), ReadData(Zeros(8))}, 0xFE},
      {"StatusPieceSixteenIsOutOfRange", {Command(Cmd(0xCD, 16, 8), true)}, 0x07},
      {"StatusPieceWithWrongLength", {Command(Cmd(0xCD, 0, 16), true)}, 0x05},
      {"QualifyWithWrongLength", {Command(Cmd(0xD0, 0, 4), true)}, 0x05},
      {"SelectorReadsOne", {Command(Cmd(0xC2, 0x401002E4, 1)), ReadData(Bytes{1, 0, 0, 0, 0, 0, 0, 0})}, 0xFE},
      {"PassthroughWordReadsOne", {Command(Cmd(0xC2, 0x40100000, 4)), ReadData(Bytes{1, 0, 0, 0, 0, 0, 0, 0})}, 0xFE},
      {"NineBytesTakeTwoReadsAndNoMore",
       {Command(Cmd(0xC2, 0x401002E0, 9)), ReadData(Bytes{0, 0, 0, 0, 1, 0, 0, 0}), ReadData(Zeros(8)),
        ReadData({}, true)},
       0x05},
      {"ZeroLengthReadHasNoData", {Command(Cmd(0xC2, 0x401002E4, 0)), ReadData({}, true)}, 0x05},
      {"CompletedZeroLengthRead", {Command(Cmd(0xC2, 0x401002E4, 0))}, 0xFE},
      {"PartlyReadCommandIsInDataPhase", {Command(Cmd(0xC2, 0x20000000, 16)), ReadData(Zeros(8))}, 0x01},
      {"UnmappedAddressIsOutOfRange", {Command(Cmd(0xC2, 0x50000000, 4), true)}, 0x07},
      {"ReadToTheEndOfARegion", {Command(Cmd(0xC2, 0x40100FF8, 8)), ReadData(Zeros(8))}, 0xFE},
      {"ReadRunningPastARegionIsOutOfRange", {Command(Cmd(0xC2, 0x40100FFC, 8), true)}, 0x07},
      {"LongestRead", {Command(Cmd(0xC2, 0x20000000, 0xFFFF)), ReadData(Zeros(8))}, 0x01},
      {"UnknownCommand", {Command(Cmd(0xAA, 0, 8), true)}, 0x08},
      {"UnknownCommandSet", {Command(Cmd(0xD0, 0, 8, 0x01), true)}, 0x06},
      {"CommandBeforeDataWasReadIsRefused",
       {Command(Cmd(0xD0, 0, 8)), Command(Cmd(0xCD, 0, 8), true), ReadData(signature)},
       0xFE},
      {"AbortDropsPendingData",
       {Command(Cmd(0xD0, 0, 8)), Command(Cmd(0, 0, 0, 0xFF)), ReadData({}, true)},
       0x05},
      {"AbortThenNextCommandWorks",
       {Command(Cmd(0xD0, 0, 8)), Command(Cmd(0, 0, 0, 0xFF)), Command(Cmd(0xD0, 0, 8)), ReadData(signature)},
       0xFE},
      {"AbortLeavesTheChipIdle", {Command(Cmd(0xAA, 0, 8), true), Command(Cmd(0, 0, 0, 0xFF))}, 0x00},
      {"WritingTheDataControlIsTheWrongDirection", {{{0x21, 0x01, 0x0B00, kXuIndex, 8}, Zeros(8), true, {}}}, 0x03},
      {"WriteCommandWaitsForData", {Command(Cmd(0xC3, 0x20000000, 12))}, 0x02},
      {"WriteMemoryThenReadItBack",
       {Command(Cmd(0xC3, 0x20000010, 12)), WriteData({1, 2, 3, 4, 5, 6, 7, 8}), WriteData({9, 10, 11, 12, 13, 14, 15, 16}),
        Command(Cmd(0xC2, 0x20000010, 16)), ReadData(Bytes{1, 2, 3, 4, 5, 6, 7, 8}),
        ReadData(Bytes{9, 10, 11, 12, 0, 0, 0, 0})},
       0xFE},
      {"ReadingDuringAWriteIsTheWrongDirection", {Command(Cmd(0xC3, 0x20000000, 8)), ReadData({}, true)}, 0x03},
      {"WriteOutsideTheMapIsOutOfRange", {Command(Cmd(0xC3, 0x30000000, 8), true)}, 0x07},
      {"DataReadWithNothingPending", {ReadData({}, true)}, 0x05},
      {"CommandOfWrongTransferLength", {{{0x21, 0x01, 0x0A00, kXuIndex, 4}, Zeros(4), true, {}}}, 0x05},
      {"GetInfoAndGetLen",
       {{{0xA1, 0x86, 0x0A00, kXuIndex, 1}, {}, false, Bytes{0x03}},
        {{0xA1, 0x85, 0x0B00, kXuIndex, 2}, {}, false, Bytes{0x08, 0x00}}},
       0x00},
      {"OtherUnitOrControlStalls",
       {{{0xA1, 0x81, 0x0A00, 3 << 8, 8}, {}, true, {}}, {{0xA1, 0x81, 0x0C00, kXuIndex, 8}, {}, true, {}}},
       0x00},
      {"HardwareErrorOnMemoryRead", {Command(Cmd(0xC2, 0x401002E4, 1), true)}, 0x09, true},
      // DFU vendor requests.
      {"ReadConfiguration", {Vendor(0xC0, 0x52, 0, 0, {}, 59, false, FactoryConfig(0, 59))}, 0x00},
      {"WritePatchAndReadItBack",
       {Vendor(0x40, 0x51, 0, 40, kPatch, 19), Vendor(0xC0, 0x52, 0, 40, {}, 19, false, kPatch),
        Vendor(0xC0, 0x52, 0, 0, {}, 59, false, Cat(FactoryConfig(0, 40), kPatch))},
       0x00},
      {"CommitWritesTheWord",
       {Vendor(0x40, 0x24, 0x401E, 0x0204, {0x84, 0x14, 0x73, 0x90}, 4), Command(Cmd(0xC2, 0x401E0204, 4)),
        ReadData(Bytes{0x84, 0x14, 0x73, 0x90, 0, 0, 0, 0})},
       0xFE},
      {"ConfigurationReadPastTheEndStalls", {Vendor(0xC0, 0x52, 0, 250, {}, 10, true)}, 0x00},
      {"ConfigurationWritePastTheEndStalls", {Vendor(0x40, 0x51, 0, 250, Zeros(10), 10, true)}, 0x00},
      {"ReadRequestInTheWrongDirectionStalls", {Vendor(0x40, 0x52, 0, 0, Zeros(4), 4, true)}, 0x00},
      {"ConfigurationRequestWithValueStalls", {Vendor(0xC0, 0x52, 1, 0, {}, 4, true)}, 0x00},
      {"WordWriteOfWrongLengthStalls", {Vendor(0x40, 0x24, 0x401E, 0x0204, {1, 2, 3}, 3, true)}, 0x00},
      {"UnalignedWordWriteStalls", {Vendor(0x40, 0x24, 0x401E, 0x0202, {1, 2, 3, 4}, 4, true)}, 0x00},
      {"WordWriteOutsideTheRegistersStalls", {Vendor(0x40, 0x24, 0x2000, 0x0000, {1, 2, 3, 4}, 4, true)}, 0x00},
      {"UnknownVendorRequestStalls", {Vendor(0xC0, 0x99, 0, 0, {}, 4, true)}, 0x00},
  };
}

class ChipAnswers : public testing::TestWithParam<Case> {};

TEST_P(ChipAnswers, OnTheWire) {
  const Case& c = GetParam();
  Workstation ws;
  auto camera = MakeChipCamera("cam0", {1});
  camera->chip->SetHardwareFault(c.hardware_fault);
  ASSERT_TRUE(ws.AddDevice(camera));
  for (size_t i = 0; i < c.steps.size(); ++i) {
    const Step& step = c.steps[i];
    SCOPED_TRACE("step " + std::to_string(i));
    Bytes data = step.setup.IsDeviceToHost() ? Bytes(step.setup.wLength, 0xEE) : step.out;
    const TransferResult r = ws.ControlTransfer(*camera, step.setup, data);
    if (step.stalls) {
      EXPECT_EQ(r.status, TransferStatus::kStall);
      continue;
    }
    ASSERT_TRUE(r.Ok());
    EXPECT_EQ(r.transferred, step.setup.wLength);
    if (step.in) {
      EXPECT_EQ(data, *step.in);
    }
  }
  Bytes status(8);
  ASSERT_TRUE(ws.ControlTransfer(*camera, {0xA1, 0x81, 0x0A00, kXuIndex, 8}, status).Ok());
  EXPECT_EQ(status[0], c.status_after);
}

INSTANTIATE_TEST_SUITE_P(Table, ChipAnswers, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(Chip, StatusReplyNamesTheCommandAndTheDataLeft) {
  Chip chip(kPid);
  ASSERT_TRUE(chip.XuSetCur(uvc::kCommandControl, Cmd(0xC2, 0x20000000, 20)));
  Bytes piece(8);
  ASSERT_TRUE(chip.XuGetCur(uvc::kDataControl, piece));
  Bytes status(8);
  ASSERT_TRUE(chip.XuGetCur(uvc::kCommandControl, status));
  EXPECT_EQ(status, (Bytes{0x01, 0xC2, 12, 0, 0, 0, 0, 0}));
}

TEST(Chip, LongestReadEndsWithAPaddedPiece) {
  Chip chip(kPid);
  const uint8_t last = 0xAB;
  ASSERT_TRUE(chip.WriteMemory(0x20000000 + 0xFFFE, {&last, 1}));
  ASSERT_TRUE(chip.XuSetCur(uvc::kCommandControl, Cmd(0xC2, 0x20000000, 0xFFFF)));
  Bytes piece(8);
  for (int i = 0; i < 8191; ++i) ASSERT_TRUE(chip.XuGetCur(uvc::kDataControl, piece));
  ASSERT_TRUE(chip.XuGetCur(uvc::kDataControl, piece));
  EXPECT_EQ(piece, (Bytes{0, 0, 0, 0, 0, 0, 0xAB, 0}));  // 7 bytes of data, one of padding
  EXPECT_EQ(chip.Status(), VcmdStatus::kRetNoErr);
  EXPECT_FALSE(chip.XuGetCur(uvc::kDataControl, piece));
}

TEST(Chip, CommitCountsOnlyTheCommitRegister) {
  Chip chip(kPid);
  Bytes word = {1, 2, 3, 4};
  ASSERT_TRUE(chip.VendorRequest({0x40, 0x24, 0x4010, 0x0000, 4}, word).Ok());
  EXPECT_EQ(chip.CommitCount(), 0u);
  EXPECT_EQ(chip.ReadWord(0x40100000), 0x04030201u);
  ASSERT_TRUE(chip.VendorRequest({0x40, 0x24, 0x401E, 0x0204, 4}, word).Ok());
  EXPECT_EQ(chip.CommitCount(), 1u);
}

}  // namespace
}  // namespace fcp::sim
