// DFU mode and quirks.
#include <gtest/gtest.h>

#include <string>

#include "dfu/dfu_mode.h"
#include "dfu/quirks.h"

namespace fcp::dfu {
namespace {

struct ModeCase {
  DfuModeFacts facts;
  bool dfu_mode;
};

class DfuModeRules : public testing::TestWithParam<ModeCase> {};

TEST_P(DfuModeRules, Decide) {
  const DfuModeFacts& f = GetParam().facts;
  EXPECT_EQ(IsDfuMode(f), GetParam().dfu_mode)
      << std::hex << f.vendor_id << ":" << f.product_id << " version " << f.bcdDFUVersion << " protocol "
      << int(f.interface_protocol) << " interfaces " << int(f.interface_count);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, DfuModeRules,
    testing::Values(
        // vendor, product, DFU version, protocol, interfaces
        ModeCase{{0x1234, 0x0001, 0x0110, 2, 3}, true},    // protocol 2 is DFU mode
        ModeCase{{0x1234, 0x0001, 0x0110, 1, 3}, false},   // protocol 1 is run-time mode
        ModeCase{{0x1234, 0x0001, 0x011A, 0, 3}, true},    // DFU 1.1a announces it with protocol 0
        ModeCase{{0x1234, 0x0001, 0x011A, 1, 3}, false},
        ModeCase{{0x1234, 0x0001, 0x0110, 0, 3}, false},
        ModeCase{{0x1FC9, 0x000C, 0x0100, 1, 3}, true},
        ModeCase{{0x1FC9, 0x000D, 0x0100, 1, 3}, false},
        ModeCase{{0x1FC9, 0x000C, 0x0100, 0, 3}, false},
        ModeCase{{0x0B0E, 0x0042, 0x0100, 0, 1}, true},
        ModeCase{{0x0B0E, 0x0042, 0x0100, 0, 2}, false},   // more than one interface: run-time
        ModeCase{{0x0B0E, 0x0042, 0x0100, 1, 1}, false}));

TEST(Quirks, OnlyTheOneDeviceForcesDfu11) {
  EXPECT_EQ(DFU_GetQuirks(0x1EAF, 0x0003, 0x0200), kQuirkForceDfu11);
  EXPECT_EQ(DFU_GetQuirks(0x1EAF, 0x0003, 0x0201), 0);
  EXPECT_EQ(DFU_GetQuirks(0x1EAF, 0x0004, 0x0200), 0);
  EXPECT_EQ(DFU_GetQuirks(0x1EAE, 0x0003, 0x0200), 0);
}

}  // namespace
}  // namespace fcp::dfu
