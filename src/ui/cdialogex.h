// CDialogEx: a modal dialog from a template, with the Windows dialog framework's message handlers.
// The backend delivers Win32 messages; WindowProc routes them to the virtual handlers below, whose
// base versions do the default handling.
#pragma once
#include <map>
#include <memory>
#include <string>

#include "ui/backend.h"
#include "ui/cwnd.h"

namespace fcp::ui {

class CDialogEx : public CWnd, private DialogClient {
 public:
  explicit CDialogEx(UINT template_id, CWnd* parent = nullptr);
  ~CDialogEx() override;

  // Shows the dialog on the calling thread (which becomes the dialog's thread) until EndDialog.
  // Returns EndDialog's value, or -1 when there is no backend, no template or no window.
  virtual INT_PTR DoModal();
  void EndDialog(int result);

  UINT GetTemplateId() const { return template_id_; }

  // Window-level calls (the dialog's thread; PostMessage from any thread).
  CWnd* GetDlgItem(int control_id);
  void SetDlgItemText(int control_id, const std::wstring& text);
  UINT_PTR SetTimer(UINT_PTR id, UINT elapse_ms, void* timer_proc = nullptr);
  BOOL KillTimer(UINT_PTR id);
  BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  int MessageBox(const wchar_t* text, const wchar_t* caption = nullptr, UINT type = MB_OK);
  void MoveWindow(int x, int y, int width, int height, BOOL repaint = TRUE);
  HICON SetIcon(HICON icon, BOOL big_icon);
  BOOL IsIconic() const;
  int GetSystemMetrics(int index) const;
  HDEVNOTIFY RegisterDeviceNotification(const DeviceInterfaceFilter& filter, DWORD flags);
  BOOL UnregisterDeviceNotification(HDEVNOTIFY handle);
  // Processes the dialog's messages until done() holds (see DialogWindow::WaitWithMessages).
  void WaitWithMessages(const std::function<bool()>& done);

 protected:
  virtual void DoDataExchange(CDataExchange* pDX);
  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  // WM_COMMAND: TRUE when handled. The base handles IDOK and IDCANCEL.
  virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
  virtual void OnSysCommand(UINT nID, LPARAM lParam);
  virtual void OnPaint();
  virtual HCURSOR OnQueryDragIcon();
  virtual BOOL OnDeviceChange(UINT event_type, DWORD_PTR data);
  virtual void OnClose();
  virtual void OnTimer(UINT_PTR idEvent);
  virtual HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT ctl_color);

  // The message being handled, to the backend's default handling.
  LRESULT Default();

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void AttachWindow(DialogWindow* window) override;
  HBRUSH CtlColor(CDC& dc, int control_id, UINT ctl_color) override;

  UINT template_id_;
  CWnd* parent_;
  std::map<int, std::unique_ptr<CWnd>> items_;
  struct CurrentMessage {
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
  } current_;
};

}  // namespace fcp::ui
