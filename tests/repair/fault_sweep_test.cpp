// Every control transfer of a full repair, in turn, stalls, comes up short or finds the camera
// unplugged. Whatever happens, the check never passes unless the selected chip holds the patch and
// received the full commit (or was good and nothing was written), never writes over a patch area that
// was not blank, sends no vendor request to any camera but the selected one, and releases every
// libusb object it took (the DFU connection is closed on every way out). With a second camera, its
// transfers are faulted in turn too.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <set>
#include <string>
#include <vector>

#include "repair/core_power_constants.h"
#include "sim/devices.h"
#include "repair/fix_core_power.h"
#include "repair_fixture.h"
#include "uvc/chip_memory_map.h"

namespace fcp::repair {
namespace {

using testing::TracedWorkstation;

// A second camera, a blank chip too, on another bus than the selected one (cam0, at 1.3 on bus 1).
// (At the same ports it would share the location, and no check would send a request at all.)
void AddOther(TracedWorkstation& station) {
  sim::DeviceSpec hub = sim::ChipCameraSpec("hub1", {1}, 2);
  hub.kind = sim::DeviceKind::kHub;
  ASSERT_TRUE(station.Workstation().AddDevice(sim::MakeDevice(hub)));
  ASSERT_TRUE(station.Workstation().AddDevice(sim::MakeDevice(sim::ChipCameraSpec("cam1", {1, 4}, 2))));
}

struct SweepCase {
  const char* name;
  const char* scenario;
  bool patch_area_blank;
  bool pass_through = false;  // the workstation has the pass-through route
  bool beside_another = false;
  bool linux_uvc_driver = false;  // a control read that moved no data looks full
};

// The control transfers of one check without faults.
size_t TransfersOfCleanRun(const SweepCase& sweep) {
  TracedWorkstation station(sweep.scenario, sweep.pass_through);
  if (sweep.beside_another) AddOther(station);
  if (sweep.linux_uvc_driver) station.SeeCamerasAsLinuxDoes();
  const std::wstring location = station.DefaultLocation();
  const size_t before = station.TransferCount();
  std::wstring error;
  EXPECT_EQ(FixCorePower(location, error, {}), sweep.patch_area_blank ? 1 : 0);
  return station.TransferCount() - before;
}

class FaultSweep : public ::testing::TestWithParam<SweepCase> {};

TEST_P(FaultSweep, NoFaultTurnsIntoPassOrOverwrite) {
  const SweepCase& sweep = GetParam();
  const size_t transfers = TransfersOfCleanRun(sweep);
  ASSERT_GT(transfers, 0u);

  std::vector<std::string> faulted = {"cam0"};
  if (sweep.beside_another) faulted.push_back("cam1");
  for (const std::string& device : faulted) {
    // A short transfer moves half of what was asked, or nothing at all.
    const std::pair<sim::FaultAction, std::optional<uint16_t>> faults[] = {{sim::FaultAction::kStall, std::nullopt},
                                                                           {sim::FaultAction::kShort, std::nullopt},
                                                                           {sim::FaultAction::kShort, 0},
                                                                           {sim::FaultAction::kDisconnect, std::nullopt}};
    for (const auto& [action, length] : faults) {
      for (unsigned n = 1; n <= transfers; ++n) {
        SCOPED_TRACE(std::string(sim::FaultActionName(action)) + (length ? " to nothing" : "") + " at transfer " +
                     std::to_string(n) + " of " + device);
        TracedWorkstation station(sweep.scenario, sweep.pass_through);
        if (sweep.beside_another) AddOther(station);
        if (sweep.linux_uvc_driver) station.SeeCamerasAsLinuxDoes();
        const std::wstring location = station.DefaultLocation();
        const sim::Chip& chip = station.Chip();
        const auto patch_area_before = std::vector<uint8_t>(chip.Config().begin() + kPatchOffset,
                                                          chip.Config().begin() + kPatchOffset + kPatch.size());
        const unsigned commits_before = chip.CommitCount();

        sim::FaultRule rule;
        rule.device = device;
        rule.nth = n;
        rule.action = action;
        rule.length = length;
        station.Workstation().AddFault(rule);

        std::wstring error;
        const int verdict = FixCorePower(location, error, {});
        EXPECT_EQ(sim::LiveLibusbObjects().handles, 0) << "the DFU connection was left open";
        const bool patched = std::equal(kPatch.begin(), kPatch.end(), chip.Config().begin() + kPatchOffset);
        const std::set<std::string> targets = station.VendorRequestTargets();

        EXPECT_TRUE(targets.empty() || targets == std::set<std::string>{"cam0"})
            << "a vendor request reached a camera that was not selected";
        if (sweep.beside_another) {
          EXPECT_EQ(station.Chip("cam1").CommitCount(), 0u);
          EXPECT_TRUE(std::all_of(station.Chip("cam1").Config().begin() + kPatchOffset,
                                  station.Chip("cam1").Config().begin() + kPatchOffset + kPatch.size(),
                                  [](uint8_t b) { return b == 0; }));
        }
        if (!sweep.patch_area_blank) {
          EXPECT_TRUE(std::equal(patch_area_before.begin(), patch_area_before.end(), chip.Config().begin() + kPatchOffset))
              << "a patch area that was not blank was written";
        }
        if (verdict) {
          // PASS: the selected chip holds the patch and took the commit, or it was good and nothing was written.
          const bool repaired = patched && chip.CommitCount() == commits_before + 1 &&
                                chip.ReadWord(uvc::kCommitRegisterAddress) == 0x90731484u;
          const bool left_as_good = !sweep.patch_area_blank && station.VendorWrites().empty();
          EXPECT_TRUE(repaired || left_as_good) << "PASS for a chip that was not repaired";
        } else {
          EXPECT_FALSE(error.empty() && !patched) << "a failure before the patch write must name its step";
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Chips, FaultSweep,
                         ::testing::Values(SweepCase{"BlankChip", "blank_chip.json", true},
                                           SweepCase{"ForeignPatchArea", "foreign_patch_area.json", false},
                                           SweepCase{"BlankChipThroughTheDriver", "blank_chip_passthrough.json", true, true},
                                           SweepCase{"BlankChipBesideAnother", "blank_chip.json", true, false, true},
                                           SweepCase{"BlankChipSeenAsLinuxDoes", "blank_chip.json", true, false, false, true},
                                           SweepCase{"BlankChipThroughTheDriverBesideAnother", "blank_chip_passthrough.json",
                                                     true, true, true}),
                         [](const ::testing::TestParamInfo<SweepCase>& info) { return info.param.name; });

}  // namespace
}  // namespace fcp::repair
