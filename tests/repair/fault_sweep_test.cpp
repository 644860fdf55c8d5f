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
size_t TransfersOfCleanRun(const char* scenario, bool passThrough, int expectedVerdict) {
  TracedWorkstation station(scenario, passThrough);
  const std::wstring location = station.DefaultLocation();
  const size_t before = station.TransferCount();
  std::wstring error;
  EXPECT_EQ(FixCorePower(location, error, {}), expectedVerdict);
  return station.TransferCount() - before;
}

struct SweepCase {
  const char* scenario;
  bool patchAreaBlank;
  bool passThrough = false;  // the workstation has the pass-through route
};

class FaultSweep : public ::testing::TestWithParam<SweepCase> {};

TEST_P(FaultSweep, NoFaultTurnsIntoPassOrOverwrite) {
  const SweepCase& sweep = GetParam();
  const size_t transfers = TransfersOfCleanRun(sweep.scenario, sweep.passThrough, sweep.patchAreaBlank ? 1 : 0);
  ASSERT_GT(transfers, 0u);

  for (sim::FaultAction action : {sim::FaultAction::kStall, sim::FaultAction::kShort, sim::FaultAction::kDisconnect}) {
    for (unsigned n = 1; n <= transfers; ++n) {
      SCOPED_TRACE(std::string(sim::FaultActionName(action)) + " at transfer " + std::to_string(n));
      TracedWorkstation station(sweep.scenario, sweep.passThrough);
      const std::wstring location = station.DefaultLocation();
      const sim::Chip& chip = station.chip();
      const auto patchAreaBefore = std::vector<uint8_t>(chip.config().begin() + kPatchOffset,
                                                        chip.config().begin() + kPatchOffset + kPatch.size());
      const unsigned commitsBefore = chip.commit_count();

      sim::FaultRule rule;
      rule.device = "cam0";
      rule.nth = n;
      rule.action = action;
      station.workstation().AddFault(rule);

      std::wstring error;
      const int verdict = FixCorePower(location, error, {});
      EXPECT_EQ(sim::LiveLibusbObjects().handles, 0) << "the DFU connection was left open";
      const bool patched = std::equal(kPatch.begin(), kPatch.end(), chip.config().begin() + kPatchOffset);

      if (!sweep.patchAreaBlank) {
        EXPECT_TRUE(std::equal(patchAreaBefore.begin(), patchAreaBefore.end(), chip.config().begin() + kPatchOffset))
            << "a patch area that was not blank was written";
      }
      if (verdict) {
        EXPECT_TRUE(patched || !sweep.patchAreaBlank);
        if (sweep.patchAreaBlank) {
          EXPECT_EQ(chip.commit_count(), commitsBefore + 1) << "PASS without the full commit";
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
                           if (info.param.passThrough) return "BlankChipThroughTheDriver";
                           return info.param.patchAreaBlank ? "BlankChip" : "ForeignPatchArea";
                         });

}  // namespace
}  // namespace fcp::repair
