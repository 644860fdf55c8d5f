#include "ui/win32/win32_window.h"

#include <dbt.h>

#include <cstring>
#include <vector>

#include "ui/win32/win32_dc.h"

namespace fcp::ui::win32 {
namespace {

// A private message that carries a call to the dialog's thread.
UINT RunOnDialogThreadMessage() {
  static const UINT kMessage = RegisterWindowMessageW(L"FixCorePower.RunOnDialogThread");
  return kMessage;
}

bool IsCtlColorMessage(UINT message) { return message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC; }

}  // namespace

Win32Window::~Win32Window() {
  for (auto& [id, font] : fonts_) DeleteObject(font);
}

INT_PTR CALLBACK Win32Window::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  // Everything after WM_INITDIALOG comes through SubclassProc; the dialog manager calls this procedure
  // only for its default handling, where the answer is "not handled".
  if (message != WM_INITDIALOG || GetWindowLongPtrW(hwnd, GWLP_USERDATA) != 0) return FALSE;
  auto* self = reinterpret_cast<Win32Window*>(lParam);
  self->Attach(hwnd);
  return self->client_.WindowProc(WM_INITDIALOG, wParam, 0);
}

void Win32Window::Attach(HWND hwnd) {
  hwnd_ = hwnd;
  thread_ = GetCurrentThreadId();
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  dialog_manager_proc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Win32Window::SubclassProc)));
  alive_ = true;
  client_.AttachWindow(this);
}

bool Win32Window::Detach() {
  const bool was_created = hwnd_ != nullptr;
  alive_ = false;
  for (auto& [id, font] : fonts_) DeleteObject(font);
  fonts_.clear();
  return was_created;
}

LRESULT CALLBACK Win32Window::SubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (message == WM_NCDESTROY) {
    // The last message: hand the window back to the dialog manager for its own clean-up.
    const WNDPROC dialog_manager = self->dialog_manager_proc_;
    SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(dialog_manager));
    self->alive_ = false;
    return CallWindowProcW(dialog_manager, hwnd, message, wParam, lParam);
  }
  return self->Route(message, wParam, lParam);
}

LRESULT Win32Window::Route(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == RunOnDialogThreadMessage()) {
    (*reinterpret_cast<const std::function<void()>*>(lParam))();
    return 0;
  }
  if (IsCtlColorMessage(message)) {
    Win32DC dc(reinterpret_cast<HDC>(wParam));
    const auto control = reinterpret_cast<HWND>(lParam);
    const HWND outer = ctl_color_control_;
    ctl_color_control_ = control;
    const int control_id = control == hwnd_ ? 0 : GetDlgCtrlID(control);
    const HBRUSH brush = client_.CtlColor(dc, control_id, message - WM_CTLCOLORMSGBOX);
    ctl_color_control_ = outer;
    return reinterpret_cast<LRESULT>(brush);
  }
  return client_.WindowProc(message, wParam, lParam);
}

LRESULT Win32Window::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!alive_) return 0;
  return CallWindowProcW(dialog_manager_proc_, hwnd_, message, wParam, lParam);
}

HBRUSH Win32Window::DefCtlColor(CDC& dc, int control_id, UINT ctl_color) {
  if (!alive_) return nullptr;
  HWND control = ctl_color_control_ ? ctl_color_control_ : Item(control_id);
  const LRESULT brush = CallWindowProcW(dialog_manager_proc_, hwnd_, WM_CTLCOLORMSGBOX + ctl_color,
                                        reinterpret_cast<WPARAM>(dc.GetSafeHdc()),
                                        reinterpret_cast<LPARAM>(control));
  return reinterpret_cast<HBRUSH>(brush);
}

HWND Win32Window::Item(int id) const {
  if (!alive_) return nullptr;
  return id == 0 ? hwnd_ : ::GetDlgItem(hwnd_, id);
}

void Win32Window::OnDialogThread(const std::function<void()>& call) {
  if (!alive_) return;
  if (GetCurrentThreadId() == thread_) {
    call();
  } else {
    // A window that goes away meanwhile makes SendMessageW fail without running the call.
    SendMessageW(hwnd_, RunOnDialogThreadMessage(), 0, reinterpret_cast<LPARAM>(&call));
  }
}

// Controls. Win32 carries these to the dialog's thread by itself (SetWindowTextW and EnableWindow
// send their messages to the window's thread), except where this object keeps state.
bool Win32Window::HasItem(int id) { return Item(id) != nullptr; }

void Win32Window::SetItemText(int id, const std::wstring& text) {
  if (HWND item = Item(id)) SetWindowTextW(item, text.c_str());
}

std::wstring Win32Window::GetItemText(int id) {
  HWND item = Item(id);
  if (!item) return {};
  std::vector<wchar_t> buffer(static_cast<size_t>(GetWindowTextLengthW(item)) + 1);
  const int n = GetWindowTextW(item, buffer.data(), static_cast<int>(buffer.size()));
  return std::wstring(buffer.data(), n > 0 ? static_cast<size_t>(n) : 0);
}

void Win32Window::EnableItem(int id, bool enable) {
  if (HWND item = Item(id)) ::EnableWindow(item, enable ? TRUE : FALSE);
}

bool Win32Window::IsItemEnabled(int id) {
  HWND item = Item(id);
  return item && ::IsWindowEnabled(item);
}

RECT Win32Window::GetItemClientRect(int id) {
  RECT rect{};
  if (HWND item = Item(id)) ::GetClientRect(item, &rect);
  return rect;
}

LOGFONTW Win32Window::GetItemFont(int id) {
  LOGFONTW font{};
  HWND item = Item(id);
  if (!item) return font;
  auto handle = reinterpret_cast<HFONT>(SendMessageW(item, WM_GETFONT, 0, 0));
  if (!handle) handle = static_cast<HFONT>(GetStockObject(SYSTEM_FONT));
  GetObjectW(handle, sizeof(font), &font);
  return font;
}

void Win32Window::SetItemFont(int id, const LOGFONTW& font, bool redraw) {
  OnDialogThread([&] {
    HWND item = Item(id);
    HFONT handle = item ? CreateFontIndirectW(&font) : nullptr;
    if (!handle) return;
    SendMessageW(item, WM_SETFONT, reinterpret_cast<WPARAM>(handle), redraw ? TRUE : FALSE);
    HFONT& kept = fonts_[id];
    if (kept) DeleteObject(kept);  // the control no longer uses it
    kept = handle;
  });
}

// The window.
void Win32Window::SetIcon(HICON icon, bool big) {
  if (alive_) SendMessageW(hwnd_, WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

bool Win32Window::HasSystemMenu() { return alive_ && ::GetSystemMenu(hwnd_, FALSE) != nullptr; }

bool Win32Window::AppendSystemMenu(UINT flags, UINT_PTR command_id, const std::wstring& text) {
  HMENU menu = alive_ ? ::GetSystemMenu(hwnd_, FALSE) : nullptr;
  if (!menu) return false;
  return AppendMenuW(menu, flags, command_id, (flags & MF_SEPARATOR) ? nullptr : text.c_str()) != FALSE;
}

bool Win32Window::MoveWindow(int x, int y, int width, int height, bool repaint) {
  return alive_ && ::MoveWindow(hwnd_, x, y, width, height, repaint ? TRUE : FALSE);
}

bool Win32Window::IsIconic() { return alive_ && ::IsIconic(hwnd_); }

int Win32Window::GetSystemMetrics(int index) { return ::GetSystemMetrics(index); }

std::unique_ptr<CDC> Win32Window::BeginPaint() {
  if (!alive_) return nullptr;
  return std::make_unique<Win32PaintDC>(hwnd_);
}

// Messages and timers.
UINT_PTR Win32Window::SetTimer(UINT_PTR id, UINT elapse_ms) {
  return alive_ ? ::SetTimer(hwnd_, id, elapse_ms, nullptr) : 0;
}

bool Win32Window::KillTimer(UINT_PTR id) { return alive_ && ::KillTimer(hwnd_, id); }

bool Win32Window::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return alive_ && ::PostMessageW(hwnd_, message, wParam, lParam);
}

int Win32Window::MessageBox(const std::wstring& text, const std::wstring& caption, UINT type) {
  return ::MessageBoxW(alive_ ? hwnd_ : nullptr, text.c_str(), caption.c_str(), type);
}

HDEVNOTIFY Win32Window::RegisterDeviceNotification(const DeviceInterfaceFilter& filter, DWORD flags) {
  if (!alive_) return nullptr;
  DEV_BROADCAST_DEVICEINTERFACE_W broadcast{};
  broadcast.dbcc_size = filter.size;
  broadcast.dbcc_devicetype = filter.device_type;
  broadcast.dbcc_reserved = filter.reserved;
  static_assert(sizeof(broadcast.dbcc_classguid) == 16);
  const auto guid = filter.class_guid.Bytes();
  std::memcpy(&broadcast.dbcc_classguid, guid.data(), guid.size());
  broadcast.dbcc_name[0] = L'\0';
  return ::RegisterDeviceNotificationW(hwnd_, &broadcast, flags);
}

bool Win32Window::UnregisterDeviceNotification(HDEVNOTIFY handle) {
  return ::UnregisterDeviceNotification(handle) != FALSE;
}

void Win32Window::EndDialog(INT_PTR result) {
  if (alive_) ::EndDialog(hwnd_, result);
}

void Win32Window::WaitWithMessages(const std::function<bool()>& done) {
  MSG msg;
  while (!done()) {
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {  // also delivers calls sent from other threads
      MsgWaitForMultipleObjectsEx(0, nullptr, 10, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      continue;
    }
    if (msg.message == WM_QUIT) {  // not ours to take: leave it for the outer loop
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    if (!alive_ || !IsDialogMessageW(hwnd_, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

}  // namespace fcp::ui::win32
