// CDC over a real device context: colour changes reach the HDC the control is drawn with.
#pragma once
#include <windows.h>

#include "ui/cwnd.h"

namespace fcp::ui::win32 {

class Win32DC : public CDC {
 public:
  explicit Win32DC(HDC hdc) : hdc_(hdc) {}
  COLORREF SetBkColor(COLORREF color) override;
  COLORREF SetTextColor(COLORREF color) override;
  BOOL DrawIcon(int x, int y, HICON icon) override;
  HDC GetSafeHdc() const override { return hdc_; }

 protected:
  HDC hdc_;
};

// The device context of one WM_PAINT: BeginPaint for its life, EndPaint at its end.
class Win32PaintDC final : public Win32DC {
 public:
  explicit Win32PaintDC(HWND hwnd);
  ~Win32PaintDC() override;
  Win32PaintDC(const Win32PaintDC&) = delete;
  Win32PaintDC& operator=(const Win32PaintDC&) = delete;

 private:
  HWND hwnd_;
  PAINTSTRUCT paint_{};
};

}  // namespace fcp::ui::win32
