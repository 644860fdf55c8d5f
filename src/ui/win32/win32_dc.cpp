#include "ui/win32/win32_dc.h"

namespace fcp::ui::win32 {

COLORREF Win32DC::SetBkColor(COLORREF color) {
  CDC::SetBkColor(color);
  return ::SetBkColor(hdc_, color);
}

COLORREF Win32DC::SetTextColor(COLORREF color) {
  CDC::SetTextColor(color);
  return ::SetTextColor(hdc_, color);
}

BOOL Win32DC::DrawIcon(int x, int y, HICON icon) { return ::DrawIcon(hdc_, x, y, icon); }

Win32PaintDC::Win32PaintDC(HWND hwnd) : Win32DC(nullptr), hwnd_(hwnd) { hdc_ = ::BeginPaint(hwnd_, &paint_); }

Win32PaintDC::~Win32PaintDC() { ::EndPaint(hwnd_, &paint_); }

}  // namespace fcp::ui::win32
