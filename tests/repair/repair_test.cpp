#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <set>

#include "fcp/maker_ids.h"
#include "sim/devices.h"

#include "repair/core_power_constants.h"
#include "repair/fix_core_power.h"
#include "repair_fixture.h"
#include "uvc/chip_memory_map.h"

namespace fcp::repair {
namespace {

using testing::TracedWorkstation;

sim::FaultRule FaultOn(uint8_t request_type, uint8_t request, unsigned nth, sim::FaultAction action) {
  sim::FaultRule rule;
  rule.device = "cam0";
  rule.match.request_type = request_type;
  rule.match.request = request;
  rule.nth = nth;
  rule.action = action;
  return rule;
}

// The `nth` read of the extension unit's data control from now on moves only `length` of its 8 bytes.
// The open of a camera reads it 17 times (signature, 16 status pieces); the 18th read is the selector.
void ShortDataRead(TracedWorkstation& b, unsigned nth, uint16_t length) {
  auto rule = FaultOn(0xA1, 0x81, nth, sim::FaultAction::kShort);
  rule.match.value = 0x0B00;
  rule.length = length;
  b.Workstation().AddFault(rule);
}

// Configuration bytes from `offset` on, with byte `flip` (an index into `bytes`) inverted.
template <size_t N>
void PutConfig(TracedWorkstation& b, size_t offset, const std::array<uint8_t, N>& bytes, size_t flip) {
  std::copy(bytes.begin(), bytes.end(), b.Chip().Config().begin() + offset);
  b.Chip().Config()[offset + flip] ^= 0xFF;
}

bool PatchInPlace(const sim::Chip& chip) {
  return std::equal(kPatch.begin(), kPatch.end(), chip.Config().begin() + kPatchOffset);
}

// A stop request: during the `nth` transfer of the run whose setup packet starts with `setup`, or
// before the run when `nth` is 0. No transfer may follow it.
struct StopAt {
  const char* setup = nullptr;
  unsigned nth = 0;
};

struct Case {
  const char* name;
  const char* scenario;
  std::function<void(TracedWorkstation&)> prepare;  // faults and changes after the dialog found the camera
  int verdict;
  const wchar_t* error;
  size_t writes;             // host-to-device vendor requests on the wire
  bool patched_afterwards;    // the chip holds the patch after the run
  StopAt stop = {};
  bool pass_through = false;  // the workstation has the pass-through route
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
     [](TracedWorkstation& b) { b.Workstation().SetConnected("cam0", false); }, 0, L"Failed to UVC_OpenByLocationInfo\n", 0,
     false},
    // The open reads the data control 17 times (signature, 16 status pieces); the 18th is the selector.
    {"SelectorUnreadable", "blank_chip.json",
     [](TracedWorkstation& b) {
       auto rule = FaultOn(0xA1, 0x81, 18, kStall);
       rule.match.value = 0x0B00;
       b.Workstation().AddFault(rule);
     },
     0, L"Failed to UVC_ReadMem 0x401002E4\n", 0, false},
    {"DfuInterfaceRefusesToOpen", "blank_chip.json",
     [](TracedWorkstation& b) { b.Workstation().Find("cam0")->libusb_open_error = -3; }, 0,
     L"Failed to DFU_OpenByLocationInfo\n", 0, false},
    {"ConfigurationReadFails", "blank_chip.json",
     [](TracedWorkstation& b) { b.Workstation().AddFault(FaultOn(0xC0, 0x52, 1, kStall)); }, 0,
     L"Failed to DFU_Vendorreqget(0x52, 0, 0, pbyRead, 59)\n", 0, false},
    {"PatchWriteFails", "blank_chip.json", [](TracedWorkstation& b) { b.Workstation().AddFault(FaultOn(0x40, 0x51, 1, kStall)); },
     0, L"Failed to DFU_Vendorreqset(0x51, 0x0, 40, pbyPatch, 19)\n", 0, false},
    {"ReadBackFails", "blank_chip.json", [](TracedWorkstation& b) { b.Workstation().AddFault(FaultOn(0xC0, 0x52, 2, kStall)); }, 0,
     L"Failed to DFU_Vendorreqget(0x52, 0, 40, pbyReadPatch, 19)\n", 1, true},
    {"ReadBackDiffersRecordsNoMessage", "blank_chip.json",
     [](TracedWorkstation& b) { b.Workstation().AddFault(FaultOn(0xC0, 0x52, 2, sim::FaultAction::kWrongData)); }, 0, L"", 1,
     true},
    {"CommitFails", "blank_chip.json", [](TracedWorkstation& b) { b.Workstation().AddFault(FaultOn(0x40, 0x24, 1, kStall)); }, 0,
     L"Failed to fix core power.\n", 1, true},

    // The edges of each comparison: its first and its last byte.
    {"ReferenceBlockDiffersInItsFirstByte", "blank_chip.json", [](TracedWorkstation& b) { PutConfig(b, 0, kReferenceBlock, 0); },
     1, L"", 2, true},
    {"ReferenceBlockDiffersInItsLastByte", "blank_chip.json", [](TracedWorkstation& b) { PutConfig(b, 0, kReferenceBlock, 39); },
     1, L"", 2, true},
    {"PatchAreaDiffersFromThePatchInItsFirstByte", "blank_chip.json",
     [](TracedWorkstation& b) { PutConfig(b, kPatchOffset, kPatch, 0); }, 0, L"Failed to memcmp(&pbyRead[40], pbyPatch, 19)\n", 0,
     false},
    {"PatchAreaDiffersFromThePatchInItsLastByte", "blank_chip.json",
     [](TracedWorkstation& b) { PutConfig(b, kPatchOffset, kPatch, 18); }, 0, L"Failed to memcmp(&pbyRead[40], pbyPatch, 19)\n", 0,
     false},
    {"PatchAreaNotBlankInItsFirstByte", "blank_chip.json", [](TracedWorkstation& b) { b.Chip().Config()[kPatchOffset] = 0x01; }, 0,
     L"Failed to memcmp(&pbyRead[40], pbyPatch, 19)\n", 0, false},
    {"PatchAreaNotBlankInItsLastByte", "blank_chip.json", [](TracedWorkstation& b) { b.Chip().Config()[kPatchOffset + 18] = 0x01; },
     0, L"Failed to memcmp(&pbyRead[40], pbyPatch, 19)\n", 0, false},
    {"ReadBackDiffersInItsFirstByte", "blank_chip.json",
     [](TracedWorkstation& b) {
       auto rule = FaultOn(0xC0, 0x52, 2, sim::FaultAction::kWrongData);
       rule.data = sim::Bytes{static_cast<uint8_t>(kPatch[0] ^ 0xFF)};
       b.Workstation().AddFault(rule);
     },
     0, L"", 1, true},
    {"ReadBackDiffersInItsLastByte", "blank_chip.json",
     [](TracedWorkstation& b) {
       auto rule = FaultOn(0xC0, 0x52, 2, sim::FaultAction::kWrongData);
       rule.data = sim::Bytes(kPatch.begin(), kPatch.end());
       rule.data->back() ^= 0xFF;
       b.Workstation().AddFault(rule);
     },
     0, L"", 1, true},
    // A transfer one byte short is no transfer.
    {"ConfigurationReadOneByteShort", "blank_chip.json",
     [](TracedWorkstation& b) {
       auto rule = FaultOn(0xC0, 0x52, 1, sim::FaultAction::kShort);
       rule.length = kConfigurationLength - 1;
       b.Workstation().AddFault(rule);
     },
     0, L"Failed to DFU_Vendorreqget(0x52, 0, 0, pbyRead, 59)\n", 0, false},
    {"ReadBackOneByteShort", "blank_chip.json",
     [](TracedWorkstation& b) {
       auto rule = FaultOn(0xC0, 0x52, 2, sim::FaultAction::kShort);
       rule.length = kPatch.size() - 1;
       b.Workstation().AddFault(rule);
     },
     0, L"Failed to DFU_Vendorreqget(0x52, 0, 40, pbyReadPatch, 19)\n", 1, true},
    // An extension-unit read that moves fewer bytes than asked is a failed read: the bytes that did not
    // arrive would read as zeros (a selector of 0 passes at once; a signature's last byte is 0; a
    // status block without the chip's product ID names no family).
    {"SelectorReadMovesNoData", "blank_chip.json", [](TracedWorkstation& b) { ShortDataRead(b, 18, 0); }, 0,
     L"Failed to UVC_ReadMem 0x401002E4\n", 0, false},
    // Where the platform shows such a read as a full one of zeros, a selector that would pass is read
    // again: the two reads disagree. A good chip's two reads agree.
    {"SelectorReadMovesNoDataOnLinux", "blank_chip.json",
     [](TracedWorkstation& b) {
       b.SeeCamerasAsLinuxDoes();
       ShortDataRead(b, 18, 0);
     },
     0, L"Failed to UVC_ReadMem 0x401002E4\n", 0, false},
    {"SelectorZeroPassesOnLinux", "selector_zero.json", [](TracedWorkstation& b) { b.SeeCamerasAsLinuxDoes(); }, 1, L"", 0,
     false},
    {"SignatureReadOneByteShort", "blank_chip.json", [](TracedWorkstation& b) { ShortDataRead(b, 1, 7); }, 0,
     L"Failed to UVC_OpenByLocationInfo\n", 0, false},
    {"StatusPieceWithTheProductIdShort", "blank_chip.json", [](TracedWorkstation& b) { ShortDataRead(b, 2, 2); }, 0,
     L"Failed to UVC_OpenByLocationInfo\n", 0, false},
    // The camera's qualifying word for the pass-through route (the 36th read: after the check's open
    // and selector, the route's candidate walk opens the camera again): one byte of four arrived.
    {"PassThroughWordReadShort", "blank_chip_passthrough.json", [](TracedWorkstation& b) { ShortDataRead(b, 36, 1); },
     0, L"Failed to DFU_OpenByLocationInfo\n", 0, false, {}, true},
    // Only a selector of 1 leads on to the DFU side.
    {"SelectorTwoPassesWithoutDfu", "blank_chip.json", [](TracedWorkstation& b) { b.Chip().SetSelector(2); }, 1, L"", 0, false},
    {"SelectorFFPassesWithoutDfu", "blank_chip.json", [](TracedWorkstation& b) { b.Chip().SetSelector(0xFF); }, 1, L"", 0, false},
    // A stop is honoured at the start, before the DFU side opens and before the patch write. The
    // 18th data read of the camera is the selector's, the last transfer before the DFU side.
    {"StopBeforeTheRun", "blank_chip.json", nullptr, 0, L"", 0, false, {"", 0}},
    {"StopDuringTheSelectorRead", "blank_chip.json", nullptr, 0, L"", 0, false, {"A181000B", 18}},
    {"StopDuringTheConfigurationRead", "blank_chip.json", nullptr, 0, L"", 0, false, {"C0520000", 1}},
};

class RepairSequence : public ::testing::TestWithParam<Case> {};

TEST_P(RepairSequence, VerdictTextWritesAndChipState) {
  const Case& c = GetParam();
  TracedWorkstation station(c.scenario, c.pass_through);
  const std::wstring location = station.DefaultLocation();
  ASSERT_FALSE(location.empty());
  const unsigned commits_before = station.Chip().CommitCount();
  if (c.prepare) c.prepare(station);

  std::stop_source stop;
  if (c.stop.setup) station.RequestStopDuring(c.stop.setup, c.stop.nth, stop);

  std::wstring error = L"stale text";
  EXPECT_EQ(FixCorePower(location, error, stop.get_token()), c.verdict);
  EXPECT_EQ(error, c.error);
  if (c.stop.setup) {
    EXPECT_EQ(station.TransfersAfterStop(), 0u) << "the run went on after the stop request";
  }
  std::wstring device_id;
  EXPECT_FALSE(UVC_GetDeviceId(device_id)) << "the camera was left open";
  EXPECT_EQ(station.VendorWrites().size(), c.writes);
  EXPECT_EQ(PatchInPlace(station.Chip()), c.patched_afterwards);
  // A commit reaches the chip only in a run that passes after writing the patch.
  EXPECT_EQ(station.Chip().CommitCount() - commits_before, c.verdict == 1 && c.writes == 2 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, RepairSequence, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// The repair's vendor requests (0x52, 0x51, 0x24) as the wire trace shows them: setup, data, outcome.
std::vector<std::string> RepairRequests(const TracedWorkstation& station) {
  std::vector<std::string> requests;
  for (const auto& line : station.Trace()) {
    const std::string setup = line.substr(line.find(' ') + 1, 4);
    if (setup == "C052" || setup == "4051" || setup == "4024") requests.push_back(line);
  }
  return requests;
}

TEST(RepairThroughTheDriver, BlankChipWhoseDfuFunctionLibusbDoesNotList) {
  std::wstring error;
  std::vector<std::string> expected;
  {
    TracedWorkstation through_libusb("blank_chip.json");
    ASSERT_EQ(FixCorePower(through_libusb.DefaultLocation(), error, {}), 1);
    expected = RepairRequests(through_libusb);
    ASSERT_EQ(expected.size(), 4u);
  }
  {
    TracedWorkstation station("blank_chip_passthrough.json", /*passThrough=*/true);
    const std::wstring location = station.DefaultLocation();
    ASSERT_EQ(FixCorePower(location, error, {}), 1) << std::string(error.begin(), error.end());
    EXPECT_EQ(RepairRequests(station), expected);  // the same four requests on the wire
    EXPECT_TRUE(std::equal(kPatch.begin(), kPatch.end(), station.Chip().Config().begin() + kPatchOffset));
    EXPECT_EQ(station.Chip().CommitCount(), 1u);
    EXPECT_EQ(station.Chip().ReadWord(uvc::kCommitRegisterAddress), 0x90731484u);
    EXPECT_FALSE(station.PassThrough()->Windows().ServiceNamed(L"KvxUpx"));

    // Again: the patch is in place, nothing is written.
    const size_t writes = station.VendorWrites().size();
    EXPECT_EQ(FixCorePower(location, error, {}), 1);
    EXPECT_EQ(station.VendorWrites().size(), writes);
  }
  // Without the route (the Linux tool) the camera's DFU function is not found.
  TracedWorkstation without_route("blank_chip_passthrough.json");
  EXPECT_EQ(FixCorePower(without_route.DefaultLocation(), error, {}), 0);
}

// Two devices at the same hub ports of two buses share one location text. Whichever the location
// names, the check opens nothing: no vendor request to either, both chips as they were, and the
// failure names the side that found the location ambiguous.
TEST(RepairSequenceEdges, LocationOfTwoDevicesOnTwoBusesWritesNothing) {
  struct Arrangement {
    const char* name;
    const char* scenario;  // cam0, the selected blank chip, at 1.3 on bus 1
    bool pass_through;
    std::function<void(sim::DeviceSpec&)> other;  // the device at 1.3 on bus 2
    const wchar_t* error;
  };
  const Arrangement arrangements[] = {
      {"selected camera reached through the driver, the other listed by libusb", "blank_chip_passthrough.json", true,
       [](sim::DeviceSpec&) {}, L"Failed to UVC_OpenByLocationInfo\n"},
      {"the other of another family", "blank_chip_passthrough.json", true,
       [](sim::DeviceSpec& d) { d.chip_product_id = static_cast<uint16_t>(fcp::maker::kPidsVzq2203[0]); },
       L"Failed to UVC_OpenByLocationInfo\n"},
      {"both listed by libusb, without the route", "blank_chip.json", false, [](sim::DeviceSpec&) {},
       L"Failed to UVC_OpenByLocationInfo\n"},
      {"both listed by libusb, with the route", "blank_chip.json", true, [](sim::DeviceSpec&) {},
       L"Failed to UVC_OpenByLocationInfo\n"},
      // The other shows no camera (its chip is in DFU mode): only the DFU side sees two devices.
      {"the other in DFU mode, without the route", "blank_chip.json", false,
       [](sim::DeviceSpec& d) { d.dfu_mode = true; }, L"Failed to DFU_OpenByLocationInfo\n"},
      {"the other in DFU mode, the selected one through the driver", "blank_chip_passthrough.json", true,
       [](sim::DeviceSpec& d) { d.dfu_mode = true; }, L"Failed to DFU_OpenByLocationInfo\n"},
  };
  for (const Arrangement& a : arrangements) {
    SCOPED_TRACE(a.name);
    TracedWorkstation station(a.scenario, a.pass_through);
    sim::DeviceSpec hub = sim::ChipCameraSpec("hub1", {1}, 2);
    hub.kind = sim::DeviceKind::kHub;
    ASSERT_TRUE(station.Workstation().AddDevice(sim::MakeDevice(hub)));
    sim::DeviceSpec other = sim::ChipCameraSpec("cam1", {1, 3}, 2);
    a.other(other);
    std::string why;
    ASSERT_TRUE(station.Workstation().AddDevice(sim::MakeDevice(other), &why)) << why;
    const std::wstring location = station.DefaultLocation();
    ASSERT_EQ(location, L"001.003.000.000.000.000");

    std::wstring error;
    EXPECT_EQ(FixCorePower(location, error, {}), 0);
    EXPECT_EQ(error, a.error);
    EXPECT_TRUE(station.VendorRequestTargets().empty());
    for (const char* id : {"cam0", "cam1"}) {
      EXPECT_FALSE(PatchInPlace(station.Chip(id))) << id;
      EXPECT_EQ(station.Chip(id).CommitCount(), 0u) << id;
    }
    // Unplugged, the other leaves the location to the selected camera alone.
    station.Workstation().SetConnected("cam1", false);
    EXPECT_EQ(FixCorePower(location, error, {}), 1);
    EXPECT_EQ(station.VendorRequestTargets(), std::set<std::string>{"cam0"});
    EXPECT_TRUE(PatchInPlace(station.Chip("cam0")));
  }
}

TEST(RepairSequenceEdges, NoCameraSelectedTouchesNoDevice) {
  TracedWorkstation station("blank_chip.json");
  std::wstring error;
  EXPECT_EQ(FixCorePower(L"", error, {}), 0);
  EXPECT_EQ(error, L"No vaild device.\n");
  EXPECT_EQ(station.TransferCount(), 0u);
}

// A failed commit, a read-back that failed or that differed on the wire, leaves the patch in the chip
// without the commit. The next run finds the patch, passes, and sends nothing: the chip stays uncommitted
// (docs/OPERATORS.md tells the operator what to do after such a failure).
TEST(RepairSequenceEdges, HalfRepairedChipPassesNextTimeWithoutCommit) {
  const struct {
    const char* name;
    std::function<void(TracedWorkstation&)> prepare;
    const wchar_t* error;
  } cases[] = {
      {"commit fails", [](TracedWorkstation& b) { b.Workstation().AddFault(FaultOn(0x40, 0x24, 1, kStall)); },
       L"Failed to fix core power.\n"},
      {"read-back fails", [](TracedWorkstation& b) { b.Workstation().AddFault(FaultOn(0xC0, 0x52, 2, kStall)); },
       L"Failed to DFU_Vendorreqget(0x52, 0, 40, pbyReadPatch, 19)\n"},
      {"read-back differs",
       [](TracedWorkstation& b) { b.Workstation().AddFault(FaultOn(0xC0, 0x52, 2, sim::FaultAction::kWrongData)); }, L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TracedWorkstation station("blank_chip.json");
    const std::wstring location = station.DefaultLocation();
    c.prepare(station);
    std::wstring error;
    EXPECT_EQ(FixCorePower(location, error, {}), 0);
    EXPECT_EQ(error, c.error);
    EXPECT_TRUE(PatchInPlace(station.Chip()));
    const size_t writes_after_first = station.VendorWrites().size();
    EXPECT_EQ(FixCorePower(location, error, {}), 1);
    EXPECT_EQ(station.VendorWrites().size(), writes_after_first);
    EXPECT_EQ(station.Chip().CommitCount(), 0u);
    EXPECT_NE(station.Chip().ReadWord(uvc::kCommitRegisterAddress), 0x90731484u);
  }
}

TEST(RepairSequenceEdges, StopRequestedBeforeThePatchWritesNothing) {
  TracedWorkstation station("blank_chip.json");
  const std::wstring location = station.DefaultLocation();
  std::stop_source stop;
  stop.request_stop();
  std::wstring error;
  bool stopped = false;
  EXPECT_EQ(FixCorePower(location, error, stop.get_token(), &stopped), 0);
  EXPECT_TRUE(stopped) << "no verdict";
  EXPECT_TRUE(station.VendorWrites().empty());
}

TEST(RepairSequenceEdges, StopRequestedDuringThePatchWriteEndsWithTheVerdict) {
  TracedWorkstation station("faulty_commit.json");
  const std::wstring location = station.DefaultLocation();
  std::stop_source stop;
  // The request comes while the patch is on the wire.
  station.Workstation().SetTraceSink([&](const std::string& line) {
    if (line.find(" 4051") != std::string::npos) stop.request_stop();
  });
  std::wstring error;
  bool stopped = true;
  EXPECT_EQ(FixCorePower(location, error, stop.get_token(), &stopped), 0);
  EXPECT_TRUE(stop.stop_requested());
  EXPECT_FALSE(stopped) << "past the patch write the run has a verdict";
  EXPECT_EQ(error, L"Failed to fix core power.\n") << "the commit was tried";
  EXPECT_TRUE(PatchInPlace(station.Chip()));
}

}  // namespace
}  // namespace fcp::repair
