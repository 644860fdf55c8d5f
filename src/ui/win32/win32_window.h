// One Win32 dialog window as the framework's DialogWindow: a modal dialog from an in-memory template,
// subclassed so that every message reaches the dialog object (DialogClient) and the object's default
// handling reaches the dialog manager, as a framework with message maps does it.
#pragma once
#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>

#include "ui/backend.h"

namespace fcp::ui::win32 {

class Win32Window final : public DialogWindow {
 public:
  explicit Win32Window(DialogClient& client) : client_(client) {}
  ~Win32Window() override;

  // The dialog procedure for DialogBoxIndirectParamW; its init parameter is the Win32Window.
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  // After the modal loop: the window is gone. True when it had been created.
  bool Detach();

  // DialogWindow.
  HWND GetHwnd() const override { return alive_ ? hwnd_ : nullptr; }
  bool HasItem(int id) override;
  void SetItemText(int id, const std::wstring& text) override;
  std::wstring GetItemText(int id) override;
  void EnableItem(int id, bool enable) override;
  bool IsItemEnabled(int id) override;
  RECT GetItemClientRect(int id) override;
  LOGFONTW GetItemFont(int id) override;
  void SetItemFont(int id, const LOGFONTW& font, bool redraw) override;
  void SetIcon(HICON icon, bool big) override;
  bool HasSystemMenu() override;
  bool AppendSystemMenu(UINT flags, UINT_PTR command_id, const std::wstring& text) override;
  bool MoveWindow(int x, int y, int width, int height, bool repaint) override;
  bool IsIconic() override;
  int GetSystemMetrics(int index) override;
  std::unique_ptr<CDC> BeginPaint() override;
  UINT_PTR SetTimer(UINT_PTR id, UINT elapse_ms) override;
  bool KillTimer(UINT_PTR id) override;
  bool PostMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
  int MessageBox(const std::wstring& text, const std::wstring& caption, UINT type) override;
  HDEVNOTIFY RegisterDeviceNotification(const DeviceInterfaceFilter& filter, DWORD flags) override;
  bool UnregisterDeviceNotification(HDEVNOTIFY handle) override;
  LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  HBRUSH DefCtlColor(CDC& dc, int control_id, UINT ctl_color) override;
  void EndDialog(INT_PTR result) override;
  void WaitWithMessages(const std::function<bool()>& done) override;

 private:
  static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  void Attach(HWND hwnd);
  LRESULT Route(UINT message, WPARAM wParam, LPARAM lParam);
  HWND Item(int id) const;
  // Runs `call` on the dialog's thread and waits for it (SendMessage); nothing when the window is gone.
  void OnDialogThread(const std::function<void()>& call);

  DialogClient& client_;
  HWND hwnd_ = nullptr;
  WNDPROC dialog_manager_proc_ = nullptr;  // the dialog class's procedure, for default handling
  DWORD thread_ = 0;
  std::atomic<bool> alive_{false};
  HWND ctl_color_control_ = nullptr;  // the control of the WM_CTLCOLOR* being handled
  std::map<int, HFONT> fonts_;      // fonts this window gave its controls (dialog's thread only)
};

}  // namespace fcp::ui::win32
