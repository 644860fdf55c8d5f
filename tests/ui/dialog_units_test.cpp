#include <gtest/gtest.h>

#include "ui/dialog_units.h"

namespace fcp::ui {
namespace {

TEST(DialogUnits, PositionAndSizeAreRoundedEachOnTheirOwn) {
  struct Row {
    DialogBaseUnits units;
    int x, y, cx, cy;
    RECT expected;
  };
  const Row rows[] = {
      // Halves round up: 41 * 10 / 4 = 102.5, 6 * 22 / 8 = 16.5, 42 * 22 / 8 = 115.5.
      {{10, 22}, 41, 6, 96, 42, {103, 17, 343, 133}},
      // 2.75 pixels per unit: the corners mapped on their own would give 198, not 160 + 39.
      {{11, 22}, 58, 0, 14, 0, {160, 0, 199, 0}},
      // Below a half rounds down.
      {{13, 21}, 1, 1, 1, 1, {3, 3, 6, 6}},
      // Left of or above the client area: halves round away from zero, as MulDiv does.
      {{10, 20}, -3, -1, 3, 1, {-8, -3, 0, 0}},
  };
  for (const Row& row : rows) {
    const RECT r = DialogUnitsToPixels(row.units, row.x, row.y, row.cx, row.cy);
    EXPECT_EQ(r.left, row.expected.left) << row.x << "," << row.y << " " << row.cx << "x" << row.cy;
    EXPECT_EQ(r.top, row.expected.top) << row.x << "," << row.y << " " << row.cx << "x" << row.cy;
    EXPECT_EQ(r.right, row.expected.right) << row.x << "," << row.y << " " << row.cx << "x" << row.cy;
    EXPECT_EQ(r.bottom, row.expected.bottom) << row.x << "," << row.y << " " << row.cx << "x" << row.cy;
  }
}

TEST(DialogUnits, MulDivRoundsHalvesAwayFromZeroForEverySign) {
  EXPECT_EQ(MulDivRounded(5, 1, 2), 3);
  EXPECT_EQ(MulDivRounded(-5, 1, 2), -3);
  EXPECT_EQ(MulDivRounded(5, -1, 2), -3);
  EXPECT_EQ(MulDivRounded(5, 1, -2), -3);
  EXPECT_EQ(MulDivRounded(-5, 1, -2), 3);
  EXPECT_EQ(MulDivRounded(7, 1, 4), 2);   // 1.75
  EXPECT_EQ(MulDivRounded(-7, 1, 4), -2);
  EXPECT_EQ(MulDivRounded(5, 1, 4), 1);   // 1.25
  EXPECT_EQ(MulDivRounded(1 << 20, 1 << 12, 1 << 8), 1 << 24);  // the product needs more than 32 bits
}

}  // namespace
}  // namespace fcp::ui
