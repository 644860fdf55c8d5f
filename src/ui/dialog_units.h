// Dialog units to pixels, as the Windows dialog manager places a template's items: a horizontal
// unit is a quarter of the font's average character width, a vertical unit an eighth of its
// height. Every backend that lays out a template itself uses this, so that its windows match the
// Windows tool's to the pixel; the win32 backend leaves it to the dialog manager.
#pragma once
#include "ui/win_ui_types.h"

namespace fcp::ui {

// A dialog font's base units in pixels: average character width and character height. How they are
// measured is the backend's part (its font metrics).
struct DialogBaseUnits {
  int x = 0;
  int y = 0;
};

// a * b / c rounded to the nearest integer, halves away from zero (Windows' MulDiv, without its
// overflow and zero-divisor results, which dialog coordinates never reach).
int MulDivRounded(int a, int b, int c);

// Where an item at (x, y) of size (cx, cy) dialog units lies in the client area: position and size
// are mapped each on their own and rounded, and the far corner is their sum. Mapping the corners
// instead can end a pixel away (2.75 pixels per unit puts 58 + 14 at 199, but 72 at 198).
RECT DialogUnitsToPixels(const DialogBaseUnits& units, int x, int y, int cx, int cy);

}  // namespace fcp::ui
