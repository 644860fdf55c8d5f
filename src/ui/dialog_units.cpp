#include "ui/dialog_units.h"

#include <cstdint>

namespace fcp::ui {

int MulDivRounded(int a, int b, int c) {
  int64_t product = static_cast<int64_t>(a) * b;
  int64_t divisor = c;
  if (divisor < 0) {
    product = -product;
    divisor = -divisor;
  }
  // Division truncates toward zero, so half the divisor moves a half away from zero first.
  return static_cast<int>(product >= 0 ? (product + divisor / 2) / divisor : (product - divisor / 2) / divisor);
}

RECT DialogUnitsToPixels(const DialogBaseUnits& units, int x, int y, int cx, int cy) {
  const LONG left = MulDivRounded(x, units.x, 4);
  const LONG top = MulDivRounded(y, units.y, 8);
  return RECT{left, top, left + MulDivRounded(cx, units.x, 4), top + MulDivRounded(cy, units.y, 8)};
}

}  // namespace fcp::ui
