#include "ui/cwnd.h"

namespace fcp::ui {

COLORREF CDC::SetBkColor(COLORREF color) {
  const COLORREF previous = bk_color.value_or(RGB(255, 255, 255));
  bk_color = color;
  return previous;
}

COLORREF CDC::SetTextColor(COLORREF color) {
  const COLORREF previous = text_color.value_or(RGB(0, 0, 0));
  text_color = color;
  return previous;
}

BOOL CDC::DrawIcon(int, int, HICON icon) { return icon != nullptr; }

CPaintDC::CPaintDC(CWnd* wnd) {
  if (wnd && wnd->Window()) dc_ = wnd->Window()->BeginPaint();
  if (!dc_) dc_ = std::make_unique<CDC>();
}

BOOL CFont::CreateFontIndirect(const LOGFONTW* font) {
  if (!font) return FALSE;
  font_ = *font;
  created_ = true;
  return TRUE;
}

int CFont::GetLogFont(LOGFONTW* font) const {
  if (!font || !created_) return 0;
  *font = font_;
  return static_cast<int>(sizeof(LOGFONTW));
}

BOOL CMenu::AppendMenu(UINT flags, UINT_PTR id, const wchar_t* text) {
  if (!window_) return FALSE;
  return window_->AppendSystemMenu(flags, id, text ? std::wstring(text) : std::wstring()) ? TRUE : FALSE;
}

void CWnd::SetWindowText(const std::wstring& text) {
  if (window_) window_->SetItemText(id_, text);
}

void CWnd::GetWindowText(std::wstring& text) const { text = GetWindowText(); }

std::wstring CWnd::GetWindowText() const { return window_ ? window_->GetItemText(id_) : std::wstring(); }

BOOL CWnd::EnableWindow(BOOL enable) {
  if (!window_) return FALSE;
  const bool was_disabled = !window_->IsItemEnabled(id_);
  window_->EnableItem(id_, enable != FALSE);
  return was_disabled ? TRUE : FALSE;
}

BOOL CWnd::IsWindowEnabled() const { return window_ && window_->IsItemEnabled(id_) ? TRUE : FALSE; }

void CWnd::GetClientRect(RECT* rect) const {
  if (!rect) return;
  *rect = window_ ? window_->GetItemClientRect(id_) : RECT{};
}

CFont* CWnd::GetFont() {
  if (!window_) return nullptr;
  const LOGFONTW font = window_->GetItemFont(id_);
  current_font_.CreateFontIndirect(&font);
  return &current_font_;
}

void CWnd::SetFont(CFont* font, BOOL redraw) {
  if (window_ && font && font->IsCreated()) window_->SetItemFont(id_, font->LogFont(), redraw != FALSE);
}

CMenu* CWnd::GetSystemMenu(BOOL) {
  if (!window_ || !window_->HasSystemMenu()) return nullptr;
  system_menu_.window_ = window_;
  return &system_menu_;
}

void DDX_Control(CDataExchange* pDX, int control_id, CWnd& control) {
  if (pDX && pDX->Window() && pDX->Window()->HasItem(control_id)) control.Bind(pDX->Window(), control_id);
}

}  // namespace fcp::ui
