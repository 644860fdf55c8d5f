// Windows, controls, fonts and device contexts of the dialog framework, shaped after the Windows
// dialog framework's classes the app's dialogs use. A CWnd names one control of a dialog window (or,
// with id 0, the dialog itself) and forwards to the backend's DialogWindow.
#pragma once
#include <memory>
#include <optional>
#include <string>

#include "ui/backend.h"
#include "ui/win_ui_types.h"

namespace fcp::ui {

// A device context. The base class keeps what a handler set, which is what the gtk and headless
// backends need; the win32 backend forwards to its HDC.
class CDC {
 public:
  virtual ~CDC() = default;
  virtual COLORREF SetBkColor(COLORREF color);  // returns the previous colour
  virtual COLORREF SetTextColor(COLORREF color);
  virtual BOOL DrawIcon(int x, int y, HICON icon);
  virtual HDC GetSafeHdc() const { return nullptr; }

  // Colours set through this context since it was made (none: the default colours).
  std::optional<COLORREF> bk_color;
  std::optional<COLORREF> text_color;
};

class CWnd;

// The device context of one WM_PAINT.
class CPaintDC {
 public:
  explicit CPaintDC(CWnd* wnd);
  CDC* operator->() { return dc_.get(); }
  CDC& Dc() { return *dc_; }
  HDC GetSafeHdc() const { return dc_->GetSafeHdc(); }
  BOOL DrawIcon(int x, int y, HICON icon) { return dc_->DrawIcon(x, y, icon); }

 private:
  std::unique_ptr<CDC> dc_;
};

// A logical font. The backend makes the platform font when it is given to a control.
class CFont {
 public:
  BOOL CreateFontIndirect(const LOGFONTW* font);
  int GetLogFont(LOGFONTW* font) const;
  bool IsCreated() const { return created_; }
  const LOGFONTW& LogFont() const { return font_; }

 private:
  LOGFONTW font_{};
  bool created_ = false;
};

class CMenu {
 public:
  BOOL AppendMenu(UINT flags, UINT_PTR id = 0, const wchar_t* text = nullptr);

 private:
  friend class CWnd;
  DialogWindow* window_ = nullptr;
};

class CWnd {
 public:
  CWnd() = default;
  virtual ~CWnd() = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  // Binds this object to control `id` of a dialog window (id 0: the window itself).
  void Bind(DialogWindow* window, int id) {
    window_ = window;
    id_ = id;
  }
  DialogWindow* Window() const { return window_; }
  bool IsBound() const { return window_ != nullptr; }
  HWND GetSafeHwnd() const { return window_ ? window_->GetHwnd() : nullptr; }

  // Control access: any thread (see DialogWindow).
  int GetDlgCtrlID() const { return id_; }
  void SetWindowText(const std::wstring& text);
  void GetWindowText(std::wstring& text) const;
  std::wstring GetWindowText() const;
  BOOL EnableWindow(BOOL enable = TRUE);  // returns whether it was disabled before
  BOOL IsWindowEnabled() const;
  void GetClientRect(RECT* rect) const;
  // The control's current font, valid until the next call on this window.
  CFont* GetFont();
  void SetFont(CFont* font, BOOL redraw = TRUE);

  // The system menu of the window (nullptr: it has none).
  CMenu* GetSystemMenu(BOOL revert);

 protected:
  DialogWindow* window_ = nullptr;
  int id_ = 0;

 private:
  CFont current_font_;
  CMenu system_menu_;
};

class CButton : public CWnd {};
class CEdit : public CWnd {};
class CStatic : public CWnd {};

// Data exchange: binds member controls to the dialog's controls after it is created.
class CDataExchange {
 public:
  explicit CDataExchange(DialogWindow* window) : window_(window) {}
  DialogWindow* Window() const { return window_; }

 private:
  DialogWindow* window_;
};

void DDX_Control(CDataExchange* pDX, int control_id, CWnd& control);

}  // namespace fcp::ui
