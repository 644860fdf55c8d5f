// Every control transfer of a full repair, in turn, stalls, comes up short or finds the camera
// unplugged. Whatever happens, the check never passes unless the chip holds the patch and received
// the full commit, never writes over a patch area that was not blank, and releases every libusb
// object it took (the DFU connection is closed on every way out).
#include <gtest/gtest.h>

#include <algorithm>

#include "repair/core_power_constants.h"
#include "repair/fix_core_power.h"
#include "repair_fixture.h"

namespace fcp::repair {
namespace {

using testing::TracedWorkstation;

// The control transfers of one check without faults.
size_t TransfersOfCleanRun(const char* scenario, bool pass_through, int expected_verdict) {
  TracedWorkstation station(scenario, pass_through);
  const std::wstring location = station.DefaultLocation();
  const size_t before = station.TransferCount();
  std::wstring error;
  EXPECT_EQ(FixCorePower(location, error, {}), expected_verdict);
  return station.TransferCount() - before;
}

struct SweepCase {
  const char* scenario;
  bool patch_area_blank;
  bool pass_through = false;  // the workstation has the pass-through route
};

class FaultSweep : public ::testing::TestWithParam<SweepCase> {};

TEST_P(FaultSweep, NoFaultTurnsIntoPassOrOverwrite) {
  const SweepCase& sweep = GetParam();
  const size_t transfers = TransfersOfCleanRun(sweep.scenario, sweep.pass_through, sweep.patch_area_blank ? 1 : 0);
  ASSERT_GT(transfers, 0u);

  for (sim::FaultAction action : {sim::FaultAction::kStall, sim::FaultAction::kShort, sim::FaultAction::kDisconnect}) {
    for (unsigned n = 1; n <= transfers; ++n) {
      SCOPED_TRACE(std::string(sim::FaultActionName(action)) + " at transfer " + std::to_string(n));
      TracedWorkstation station(sweep.scenario, sweep.pass_through);
      const std::wstring location = station.DefaultLocation();
      const sim::Chip& chip = station.Chip();
      const auto patch_area_before = std::vector<uint8_t>(chip.Config().begin() + kPatchOffset,
                                                        chip.Config().begin() + kPatchOffset + kPatch.size());
      const unsigned commits_before = chip.CommitCount();

      sim::FaultRule rule;
      rule.device = "cam0";
      rule.nth = n;
      rule.action = action;
      station.Workstation().AddFault(rule);

      std::wstring error;
      const int verdict = FixCorePower(location, error, {});
      EXPECT_EQ(sim::LiveLibusbObjects().handles, 0) << "the DFU connection was left open";
      const bool patched = std::equal(kPatch.begin(), kPatch.end(), chip.Config().begin() + kPatchOffset);

      if (!sweep.patch_area_blank) {
        EXPECT_TRUE(std::equal(patch_area_before.begin(), patch_area_before.end(), chip.Config().begin() + kPatchOffset))
            << "a patch area that was not blank was written";
      }
      if (verdict) {
        EXPECT_TRUE(patched || !sweep.patch_area_blank);
        if (sweep.patch_area_blank) {
          EXPECT_EQ(chip.CommitCount(), commits_before + 1) << "PASS without the full commit";
          EXPECT_EQ(chip.ReadWord(kCommitAddress), 0x90731484u);
        }
      } else {
        EXPECT_FALSE(error.empty() && !patched) << "a failure before the patch write must name its step";
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Chips, FaultSweep,
                         ::testing::Values(SweepCase{"blank_chip.json", true},
                                           SweepCase{"foreign_patch_area.json", false},
                                           SweepCase{"blank_chip_passthrough.json", true, true}),
                         [](const ::testing::TestParamInfo<SweepCase>& info) {
                           if (info.param.pass_through) return "BlankChipThroughTheDriver";
                           return info.param.patch_area_blank ? "BlankChip" : "ForeignPatchArea";
                         });

}  // namespace
}  // namespace fcp::repair
