// The dialog host: what a dialog backend (win32, gtk, headless) provides to the framework. The
// framework's classes (CWnd, CDialogEx, CWinApp) translate the app's calls into these; a backend
// translates them into its platform. Decisions stay in the framework and the app.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "os/device_events.h"
#include "text/device_classes.h"
#include "text/guid.h"
#include "ui/dialog_template.h"
#include "ui/win_ui_types.h"

namespace fcp::ui {

class CDC;
class DialogWindow;

// The class of USB device interfaces: a device registration with it hears of every USB device.
inline constexpr text::Guid kUsbDeviceInterfaceClass = text::interface_class::kUsbDevice;

// DEV_BROADCAST_DEVICEINTERFACE_W as a filter (the name is always empty).
struct DeviceInterfaceFilter {
  DWORD size = 0;
  DWORD device_type = 0;
  DWORD reserved = 0;
  text::Guid class_guid;
};

// A device event of the os port as a window's device registration receives it: the wParam of
// WM_DEVICECHANGE (DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE), or 0 when there is nothing to deliver.
WPARAM DeviceChangeOf(os::DeviceEvent event);

// What a dialog window delivers its messages to: the dialog object. Called on the dialog's thread.
class DialogClient {
 public:
  // The window exists (before WM_INITDIALOG), or is gone (nullptr, after the modal loop).
  virtual void AttachWindow(DialogWindow* window) = 0;
  // Every message, Win32 style. WM_COMMAND: LOWORD(wParam) control id, HIWORD(wParam) notification.
  // WM_DEVICECHANGE: wParam the event (DBT_*), lParam the event data (never examined).
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) = 0;
  // WM_CTLCOLOR*: a control is about to be drawn; the returned brush paints its background and the
  // device context's background colour (if set) fills the cell behind its text.
  virtual HBRUSH CtlColor(CDC& dc, int control_id, UINT ctl_color) = 0;

 protected:
  ~DialogClient() = default;
};

// One dialog window with its controls. Control ids as in the template; id 0 is the dialog itself
// (its caption, its client rectangle).
//
// Threads: every call is made on the dialog's thread, except the control calls (HasItem ...
// SetItemFont) and PostMessage, which any thread may make. A control call from another thread reaches
// the dialog's thread like SendMessage: it waits until the dialog's thread has carried it out, so the
// dialog's thread must keep processing messages while it waits for such a thread (WaitWithMessages).
// Once the window is gone a control call does nothing and returns an empty result.
class DialogWindow {
 public:
  virtual ~DialogWindow() = default;

  virtual HWND GetHwnd() const = 0;

  // Controls.
  virtual bool HasItem(int id) = 0;
  virtual void SetItemText(int id, const std::wstring& text) = 0;
  virtual std::wstring GetItemText(int id) = 0;
  virtual void EnableItem(int id, bool enable) = 0;
  virtual bool IsItemEnabled(int id) = 0;
  virtual RECT GetItemClientRect(int id) = 0;
  virtual LOGFONTW GetItemFont(int id) = 0;
  virtual void SetItemFont(int id, const LOGFONTW& font, bool redraw) = 0;

  // The window.
  virtual void SetIcon(HICON icon, bool big) = 0;
  virtual bool HasSystemMenu() = 0;
  // AppendMenuW on the system menu: MF_SEPARATOR, or MF_STRING with a command id and text ('&' marks
  // the mnemonic). Choosing the entry sends WM_SYSCOMMAND with the id.
  virtual bool AppendSystemMenu(UINT flags, UINT_PTR command_id, const std::wstring& text) = 0;
  virtual bool MoveWindow(int x, int y, int width, int height, bool repaint) = 0;
  virtual bool IsIconic() = 0;
  virtual int GetSystemMetrics(int index) = 0;
  // A device context for WM_PAINT (BeginPaint/EndPaint around its life).
  virtual std::unique_ptr<CDC> BeginPaint() = 0;

  // Messages and timers.
  virtual UINT_PTR SetTimer(UINT_PTR id, UINT elapse_ms) = 0;  // 0: failed
  virtual bool KillTimer(UINT_PTR id) = 0;
  virtual bool PostMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;
  virtual int MessageBox(const std::wstring& text, const std::wstring& caption, UINT type) = 0;
  // nullptr: the registration failed.
  virtual HDEVNOTIFY RegisterDeviceNotification(const DeviceInterfaceFilter& filter, DWORD flags) = 0;
  virtual bool UnregisterDeviceNotification(HDEVNOTIFY handle) = 0;

  // Default handling of a message the client did not handle itself (DefDlgProc).
  virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) = 0;
  // Default WM_CTLCOLOR handling: the brush the platform would use.
  virtual HBRUSH DefCtlColor(CDC& dc, int control_id, UINT ctl_color) = 0;

  // Ends the modal loop after the current message; DoModal returns `result`.
  virtual void EndDialog(INT_PTR result) = 0;
  // Processes this thread's messages (sent control calls, posted messages, timers, input) until
  // done() holds. done() is evaluated on this thread after every message and at least every 10 ms.
  virtual void WaitWithMessages(const std::function<bool()>& done) = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual const char* Name() const = 0;
  // False when there is no screen to show a window on (the headless backend).
  virtual bool HasDisplay() const = 0;
  virtual HICON LoadIcon(int resource_id) = 0;
  // Shows a dialog modally on the calling thread: creates the window and its controls from the
  // template, calls client.AttachWindow(window), delivers WM_INITDIALOG, processes messages until
  // EndDialog, destroys the window (client.AttachWindow(nullptr)) and returns EndDialog's value;
  // -1 when the window could not be created. `owner` (may be null) is disabled meanwhile.
  virtual INT_PTR DoModal(const DialogTemplate& dialog, DialogClient& client, DialogWindow* owner) = 0;
};

// The backend of this process (installed by the program's entry, or by a test).
Backend* CurrentBackend();
Backend* InstallBackend(Backend* backend);  // returns the previous one

}  // namespace fcp::ui
