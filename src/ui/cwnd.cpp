#include "ui/cwnd.h"

namespace fcp::ui {

COLORREF CDC::SetBkColor(COLORREF color) {
  const COLORREF previous = bkColor.value_or(RGB(255, 255, 255));
  bkColor = color;
  return previous;
}

COLORREF CDC::SetTextColor(COLORREF color) {
  const COLORREF previous = textColor.value_or(RGB(0, 0, 0));
  textColor = color;
  return previous;
}

BOOL CDC::DrawIcon(int, int, HICON icon) { return icon != nullptr; }

CPaintDC::CPaintDC(CWnd* wnd) {
  if (wnd && wnd->window()) dc_ = wnd->window()->BeginPaint();
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
  const bool wasDisabled = !window_->IsItemEnabled(id_);
  window_->EnableItem(id_, enable != FALSE);
  return wasDisabled ? TRUE : FALSE;
}

BOOL CWnd::IsWindowEnabled() const { return window_ && window_->IsItemEnabled(id_) ? TRUE : FALSE; }

void CWnd::GetClientRect(RECT* rect) const {
  if (!rect) return;
  *rect = window_ ? window_->GetItemClientRect(id_) : RECT{};
}

CFont* CWnd::GetFont() {
  if (!window_) return nullptr;
  const LOGFONTW font = window_->GetItemFont(id_);
  currentFont_.CreateFontIndirect(&font);
  return &currentFont_;
}

void CWnd::SetFont(CFont* font, BOOL redraw) {
  if (window_ && font && font->IsCreated()) window_->SetItemFont(id_, font->logFont(), redraw != FALSE);
}

CMenu* CWnd::GetSystemMenu(BOOL) {
  if (!window_ || !window_->HasSystemMenu()) return nullptr;
  systemMenu_.window_ = window_;
  return &systemMenu_;
}

void DDX_Control(CDataExchange* pDX, int controlId, CWnd& control) {
  if (pDX && pDX->window() && pDX->window()->HasItem(controlId)) control.Bind(pDX->window(), controlId);
}

}  // namespace fcp::ui
