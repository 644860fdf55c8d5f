#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "repair/core_power_constants.h"
#include "repair/fix_core_power.h"
#include "repair_fixture.h"

namespace fcp::repair {
namespace {

using testing::Bench;

sim::FaultRule FaultOn(uint8_t requestType, uint8_t request, unsigned nth, sim::FaultAction action) {
  sim::FaultRule rule;
  rule.device = "cam0";
  rule.match.request_type = requestType;
  rule.match.request = request;
  rule.nth = nth;
  rule.action = action;
  return rule;
}

bool PatchInPlace(const sim::Chip& chip) {
  return std::equal(kPatch.begin(), kPatch.end(), chip.config().begin() + kPatchOffset);
}

struct Case {
  const char* name;
  const char* scenario;
  std::function<void(Bench&)> prepare;  // faults and changes after the dialog found the camera
  int verdict;
  const wchar_t* error;
  size_t writes;             // host-to-device vendor requests on the wire
  bool patchedAfterwards;    // the chip holds the patch after the run
};

const sim::FaultAction kStall = sim::FaultAction::kStall;

const Case kCases[] = {
    {"BlankChipIsRepaired", "blank_chip.json", nullptr, 1, L"", 2, true},
    {"RepairedChipPassesWithoutWriting", "repaired_chip.json", nullptr, 1, L"", 0, true},
    {"ReferenceConfigPassesWithoutWriting", "reference_config.json", nullptr, 1, L"", 0, false},
    {"SelectorNotOnePassesWithoutDfu", "selector_zero.json", nullptr, 1, L"", 0, false},
    {"ForeignPatchAreaIsNeverOverwritten", "foreign_patch_area.json", nullptr, 0,
     L"Failed to memcmp(&pbyRead[40], pbyPatch, 19)\n", 0, false},
    {"OtherFamilyIsRefused", "other_family.json", nullptr, 0, L"It is not VZQ2202 IC\n", 0, false},
    {"CameraGoneBeforeTheCheck", "blank_chip.json",
     [](Bench& b) { b.workstation().SetConnected("cam0", false); }, 0, L"Failed to UVC_OpenByLocationInfo\n", 0,
     false},
    // The open reads the data control 17 times (signature, 16 status pieces); the 18th is the selector.
    {"SelectorUnreadable", "blank_chip.json",
     [](Bench& b) {
       auto rule = FaultOn(0xA1, 0x81, 18, kStall);
       rule.match.value = 0x0B00;
       b.workstation().AddFault(rule);
     },
     0, L"Failed to UVC_ReadMem 0x401002E4\n", 0, false},
    {"DfuInterfaceRefusesToOpen", "blank_chip.json",
     [](Bench& b) { b.workstation().Find("cam0")->libusb_open_error = -3; }, 0,
     L"Failed to DFU_OpenByLocationInfo\n", 0, false},
    {"ConfigurationReadFails", "blank_chip.json",
     [](Bench& b) { b.workstation().AddFault(FaultOn(0xC0, 0x52, 1, kStall)); }, 0,
     L"Failed to DFU_Vendorreqget(0x52, 0, 0, pbyRead, 59)\n", 0, false},
    {"PatchWriteFails", "blank_chip.json", [](Bench& b) { b.workstation().AddFault(FaultOn(0x40, 0x51, 1, kStall)); },
     0, L"Failed to DFU_Vendorreqset(0x51, 0x0, 40, pbyPatch, 19)\n", 0, false},
    {"ReadBackFails", "blank_chip.json", [](Bench& b) { b.workstation().AddFault(FaultOn(0xC0, 0x52, 2, kStall)); }, 0,
     L"Failed to DFU_Vendorreqget(0x52, 0, 40, pbyReadPatch, 19)\n", 1, true},
    {"ReadBackDiffersRecordsNoMessage", "blank_chip.json",
     [](Bench& b) { b.workstation().AddFault(FaultOn(0xC0, 0x52, 2, sim::FaultAction::kWrongData)); }, 0, L"", 1,
     true},
    {"CommitFails", "blank_chip.json", [](Bench& b) { b.workstation().AddFault(FaultOn(0x40, 0x24, 1, kStall)); }, 0,
     L"Failed to fix core power.\n", 1, true},
};

class RepairSequence : public ::testing::TestWithParam<Case> {};

TEST_P(RepairSequence, VerdictTextWritesAndChipState) {
  const Case& c = GetParam();
  Bench bench(c.scenario);
  const std::wstring location = bench.DefaultLocation();
  ASSERT_FALSE(location.empty());
  const unsigned commitsBefore = bench.chip().commit_count();
  if (c.prepare) c.prepare(bench);

  std::wstring error = L"stale text";
  EXPECT_EQ(FixCorePower(location, error, {}), c.verdict);
  EXPECT_EQ(error, c.error);
  EXPECT_EQ(bench.VendorWrites().size(), c.writes);
  EXPECT_EQ(PatchInPlace(bench.chip()), c.patchedAfterwards);
  // A commit reaches the chip only in a run that passes after writing the patch.
  EXPECT_EQ(bench.chip().commit_count() - commitsBefore, c.verdict == 1 && c.writes == 2 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, RepairSequence, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(RepairSequenceEdges, NoCameraSelectedTouchesNoDevice) {
  Bench bench("blank_chip.json");
  std::wstring error;
  EXPECT_EQ(FixCorePower(L"", error, {}), 0);
  EXPECT_EQ(error, L"No vaild device.\n");
  EXPECT_EQ(bench.TransferCount(), 0u);
}

TEST(RepairSequenceEdges, FailedCommitIsNotSentAgainByTheNextRun) {
  Bench bench("faulty_commit.json");
  const std::wstring location = bench.DefaultLocation();
  std::wstring error;
  EXPECT_EQ(FixCorePower(location, error, {}), 0);
  EXPECT_EQ(error, L"Failed to fix core power.\n");
  const size_t writesAfterFirst = bench.VendorWrites().size();
  EXPECT_EQ(FixCorePower(location, error, {}), 1);
  EXPECT_EQ(bench.VendorWrites().size(), writesAfterFirst);
}

TEST(RepairSequenceEdges, StopRequestedBeforeThePatchWritesNothing) {
  Bench bench("blank_chip.json");
  const std::wstring location = bench.DefaultLocation();
  std::stop_source stop;
  stop.request_stop();
  std::wstring error;
  bool stopped = false;
  EXPECT_EQ(FixCorePower(location, error, stop.get_token(), &stopped), 0);
  EXPECT_TRUE(stopped) << "no verdict";
  EXPECT_TRUE(bench.VendorWrites().empty());
}

TEST(RepairSequenceEdges, StopRequestedDuringThePatchWriteEndsWithTheVerdict) {
  Bench bench("faulty_commit.json");
  const std::wstring location = bench.DefaultLocation();
  std::stop_source stop;
  // The request comes while the patch is on the wire.
  bench.workstation().set_trace_sink([&](const std::string& line) {
    if (line.find(" 4051") != std::string::npos) stop.request_stop();
  });
  std::wstring error;
  bool stopped = true;
  EXPECT_EQ(FixCorePower(location, error, stop.get_token(), &stopped), 0);
  EXPECT_TRUE(stop.stop_requested());
  EXPECT_FALSE(stopped) << "past the patch write the run has a verdict";
  EXPECT_EQ(error, L"Failed to fix core power.\n") << "the commit was tried";
  EXPECT_TRUE(PatchInPlace(bench.chip()));
}

}  // namespace
}  // namespace fcp::repair
