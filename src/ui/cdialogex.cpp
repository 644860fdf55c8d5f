#include "ui/cdialogex.h"

#include "ui/cwinapp.h"

namespace fcp::ui {

CDialogEx::CDialogEx(UINT template_id, CWnd* parent) : template_id_(template_id), parent_(parent) {}

CDialogEx::~CDialogEx() = default;

INT_PTR CDialogEx::DoModal() {
  Backend* backend = CurrentBackend();
  const DialogTemplate* dialog = FindDialogTemplate(static_cast<int>(template_id_));
  if (!backend || !dialog) return -1;
  // A dialog without a parent belongs to the application's main window, which stays disabled while
  // it is open (the about box over the check dialog).
  CWnd* parent = parent_;
  if (CWinApp* app = AfxGetApp(); !parent && app && app->m_pMainWnd != this) parent = app->m_pMainWnd;
  DialogWindow* owner = parent ? parent->Window() : nullptr;
  return backend->DoModal(*dialog, *this, owner);
}

void CDialogEx::EndDialog(int result) {
  if (window_) window_->EndDialog(result);
}

void CDialogEx::AttachWindow(DialogWindow* window) {
  Bind(window, 0);
  if (!window) {
    for (auto& [id, item] : items_) item->Bind(nullptr, id);
  }
}

CWnd* CDialogEx::GetDlgItem(int control_id) {
  if (!window_ || !window_->HasItem(control_id)) return nullptr;
  auto& item = items_[control_id];
  if (!item) item = std::make_unique<CWnd>();
  item->Bind(window_, control_id);
  return item.get();
}

void CDialogEx::SetDlgItemText(int control_id, const std::wstring& text) {
  if (window_) window_->SetItemText(control_id, text);
}

UINT_PTR CDialogEx::SetTimer(UINT_PTR id, UINT elapse_ms, void*) {
  return window_ ? window_->SetTimer(id, elapse_ms) : 0;
}

BOOL CDialogEx::KillTimer(UINT_PTR id) { return window_ && window_->KillTimer(id) ? TRUE : FALSE; }

BOOL CDialogEx::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return window_ && window_->PostMessage(message, wParam, lParam) ? TRUE : FALSE;
}

LRESULT CDialogEx::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return window_ ? WindowProc(message, wParam, lParam) : 0;
}

int CDialogEx::MessageBox(const wchar_t* text, const wchar_t* caption, UINT type) {
  if (!window_) return 0;
  std::wstring title;
  if (caption) {
    title = caption;
  } else if (CWinApp* app = AfxGetApp(); app && app->m_pszAppName) {
    title = app->m_pszAppName;
  }
  return window_->MessageBox(text ? text : L"", title, type);
}

void CDialogEx::MoveWindow(int x, int y, int width, int height, BOOL repaint) {
  if (window_) window_->MoveWindow(x, y, width, height, repaint != FALSE);
}

HICON CDialogEx::SetIcon(HICON icon, BOOL big_icon) {
  if (window_) window_->SetIcon(icon, big_icon != FALSE);
  return nullptr;
}

BOOL CDialogEx::IsIconic() const { return window_ && window_->IsIconic() ? TRUE : FALSE; }

int CDialogEx::GetSystemMetrics(int index) const { return window_ ? window_->GetSystemMetrics(index) : 0; }

HDEVNOTIFY CDialogEx::RegisterDeviceNotification(const DeviceInterfaceFilter& filter, DWORD flags) {
  return window_ ? window_->RegisterDeviceNotification(filter, flags) : nullptr;
}

BOOL CDialogEx::UnregisterDeviceNotification(HDEVNOTIFY handle) {
  return window_ && window_->UnregisterDeviceNotification(handle) ? TRUE : FALSE;
}

void CDialogEx::WaitWithMessages(const std::function<bool()>& done) {
  if (window_) window_->WaitWithMessages(done);
}

void CDialogEx::DoDataExchange(CDataExchange*) {}

BOOL CDialogEx::OnInitDialog() {
  CDataExchange exchange(window_);
  DoDataExchange(&exchange);
  return TRUE;
}

void CDialogEx::OnOK() { EndDialog(IDOK); }
void CDialogEx::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialogEx::OnCommand(WPARAM wParam, LPARAM) {
  switch (LOWORD(wParam)) {
    case IDOK: OnOK(); return TRUE;
    case IDCANCEL: OnCancel(); return TRUE;
    default: return FALSE;
  }
}

void CDialogEx::OnSysCommand(UINT, LPARAM) { Default(); }
void CDialogEx::OnPaint() { Default(); }
HCURSOR CDialogEx::OnQueryDragIcon() { return reinterpret_cast<HCURSOR>(Default()); }
BOOL CDialogEx::OnDeviceChange(UINT, DWORD_PTR) { return TRUE; }
void CDialogEx::OnClose() { OnCancel(); }
void CDialogEx::OnTimer(UINT_PTR) { Default(); }

HBRUSH CDialogEx::OnCtlColor(CDC* pDC, CWnd* pWnd, UINT ctl_color) {
  if (!window_ || !pDC) return nullptr;
  return window_->DefCtlColor(*pDC, pWnd ? pWnd->GetDlgCtrlID() : 0, ctl_color);
}

LRESULT CDialogEx::Default() {
  return window_ ? window_->DefWindowProc(current_.message, current_.wParam, current_.lParam) : 0;
}

HBRUSH CDialogEx::CtlColor(CDC& dc, int control_id, UINT ctl_color) {
  const CurrentMessage saved = current_;
  current_ = {WM_CTLCOLORSTATIC, 0, 0};
  CWnd* control = control_id ? GetDlgItem(control_id) : this;
  HBRUSH brush = OnCtlColor(&dc, control ? control : this, ctl_color);
  current_ = saved;
  return brush;
}

LRESULT CDialogEx::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  const CurrentMessage saved = current_;
  current_ = {message, wParam, lParam};
  LRESULT result = 0;
  switch (message) {
    case WM_INITDIALOG: result = OnInitDialog(); break;
    case WM_COMMAND:
      if (!OnCommand(wParam, lParam)) result = Default();
      break;
    case WM_SYSCOMMAND: OnSysCommand(static_cast<UINT>(wParam), lParam); break;
    case WM_PAINT: OnPaint(); break;
    case WM_QUERYDRAGICON: result = reinterpret_cast<LRESULT>(OnQueryDragIcon()); break;
    case WM_DEVICECHANGE: result = OnDeviceChange(static_cast<UINT>(wParam), static_cast<DWORD_PTR>(lParam)); break;
    case WM_CLOSE: OnClose(); break;
    case WM_TIMER: OnTimer(static_cast<UINT_PTR>(wParam)); break;
    default: result = Default(); break;
  }
  current_ = saved;
  return result;
}

}  // namespace fcp::ui
