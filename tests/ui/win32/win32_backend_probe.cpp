// Checks of the Win32 dialog backend, run under Wine on a virtual display (scripts/test.d/60-wine-app.sh):
// a dialog of the framework, shown modally from the check dialog's template, whose handlers look at
// the real window: layout and font from the template, the system menu, icons, the device
// notification, timers, control calls from another thread while the dialog waits for it, the font
// of a control, the WM_CTLCOLOR colour on screen, and control calls that reach a closed dialog.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "ui/cdialogex.h"
#include "ui/cwinapp.h"
#include "ui/dialog_template.h"
#include "ui/dialog_units.h"
#include "ui/resource_ids.h"
#include "ui/win32/win32_main.h"

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const char* what) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAIL: %s\n", what);
  }
}

// Where the dialog manager puts a template item: it maps the position and the size each on its own,
// rounding each, and adds them. Mapping the corners instead can end a pixel away, depending on the
// dialog font's base units (2.75 pixels per unit rounds differently for 58 + 14 than for 72).
RECT DialogUnitsToPixels(HWND dialog, int x, int y, int cx, int cy) {
  RECT mapped{x, y, cx, cy};  // MapDialogRect maps each field on its own
  MapDialogRect(dialog, &mapped);
  return RECT{mapped.left, mapped.top, mapped.left + mapped.right, mapped.top + mapped.bottom};
}

RECT ItemRectInClient(HWND dialog, int id) {
  RECT rect{};
  GetWindowRect(GetDlgItem(dialog, id), &rect);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

bool SameRect(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

// The about box's template, opened over the probe dialog without a parent, as the tool opens it.
class OwnedDialog final : public fcp::ui::CDialogEx {
 public:
  explicit OwnedDialog(HWND main_window) : CDialogEx(IDD_ABOUTBOX), main_window_(main_window) {}

 protected:
  BOOL OnInitDialog() override {
    CDialogEx::OnInitDialog();
    Check(GetWindow(GetSafeHwnd(), GW_OWNER) == main_window_, "a dialog without parent is owned by the main window");
    Check(!::IsWindowEnabled(main_window_), "the main window is disabled under it");
    Check(::SendDlgItemMessageW(GetSafeHwnd(), IDC_STATIC, STM_GETICON, 0, 0) != 0 ||
              ::SendMessageW(::GetWindow(GetSafeHwnd(), GW_CHILD), STM_GETICON, 0, 0) != 0,
          "the about box shows icon 128");
    EndDialog(IDOK);
    return TRUE;
  }

 private:
  HWND main_window_;
};

class ProbeDialog final : public fcp::ui::CDialogEx {
 public:
  ProbeDialog() : CDialogEx(IDD_QUILLON_DIALOG_DIALOG) {}

  fcp::ui::CButton m_btnCheck;
  UINT_PTR timer_seen = 0;
  UINT device_event_seen = 0;
  UINT sys_command_seen = 0;
  std::atomic<bool> worker_done{false};
  std::thread worker;
  std::thread closer;

 protected:
  void DoDataExchange(fcp::ui::CDataExchange* pDX) override {
    CDialogEx::DoDataExchange(pDX);
    fcp::ui::DDX_Control(pDX, IDC_BUTTON_CHECK, m_btnCheck);
  }

  BOOL OnInitDialog() override {
    CDialogEx::OnInitDialog();
    const HWND hwnd = GetSafeHwnd();
    Check(hwnd != nullptr && IsWindow(hwnd), "the dialog has a window");

    // The template, as the dialog manager built it.
    RECT client{};
    ::GetClientRect(hwnd, &client);
    Check(SameRect(client, DialogUnitsToPixels(hwnd, 0, 0, 179, 99)), "client area is 179 x 99 dialog units");
    Check(SameRect(ItemRectInClient(hwnd, IDC_STATUS), DialogUnitsToPixels(hwnd, 41, 6, 96, 42)),
          "status control at 41, 6, 96, 42");
    Check(SameRect(ItemRectInClient(hwnd, IDC_BUTTON_CHECK), DialogUnitsToPixels(hwnd, 64, 78, 50, 14)),
          "Check button at 64, 78, 50, 14");
    Check(SameRect(ItemRectInClient(hwnd, IDC_EDIT_CAMERA), DialogUnitsToPixels(hwnd, 36, 58, 138, 14)),
          "camera box at 36, 58, 138, 14");
    // The layout the other backends compute from the same template agrees with the dialog manager,
    // given the base units it used.
    RECT base_units{0, 0, 4, 8};
    MapDialogRect(hwnd, &base_units);
    const fcp::ui::DialogBaseUnits units{base_units.right, base_units.bottom};
    const fcp::ui::DialogTemplate& layout = *fcp::ui::FindDialogTemplate(IDD_QUILLON_DIALOG_DIALOG);
    Check(SameRect(client, fcp::ui::DialogUnitsToPixels(units, 0, 0, layout.cx, layout.cy)),
          "framework layout: client area");
    for (const fcp::ui::ControlTemplate& c : layout.controls) {
      if (c.id == IDC_STATIC) continue;
      const std::string what = "framework layout: control " + std::to_string(c.id);
      Check(SameRect(ItemRectInClient(hwnd, c.id), fcp::ui::DialogUnitsToPixels(units, c.x, c.y, c.cx, c.cy)),
            what.c_str());
    }
    wchar_t caption[64] = {};
    ::GetWindowTextW(hwnd, caption, 64);
    Check(std::wstring(caption) == L"Fix Core Power", "caption");
    const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
    Check((style & (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME)) == (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
          "dialog styles");
    Check((GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_APPWINDOW) != 0, "shown in the taskbar");
    Check(ClassOf(::GetDlgItem(hwnd, IDC_STATUS)) == L"Static" || ClassOf(::GetDlgItem(hwnd, IDC_STATUS)) == L"STATIC",
          "status is a static control");
    Check((GetWindowLongW(::GetDlgItem(hwnd, IDC_STATUS), GWL_STYLE) & SS_TYPEMASK) == SS_CENTER, "status is centred");
    Check((GetWindowLongW(::GetDlgItem(hwnd, IDC_EDIT_CAMERA), GWL_STYLE) & (ES_READONLY | ES_AUTOHSCROLL)) ==
              (ES_READONLY | ES_AUTOHSCROLL),
          "camera box is read-only with horizontal scrolling");
    Check(GetItemText(IDC_STATUS) == L"N/A", "status starts as N/A");

    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(hwnd, WM_GETFONT, 0, 0)), sizeof(font), &font);
    Check(std::wstring(font.lfFaceName) == L"Microsoft Sans Serif", "dialog font face");
    HDC screen = GetDC(nullptr);
    Check(font.lfHeight == -MulDiv(14, GetDeviceCaps(screen, LOGPIXELSY), 72), "dialog font is 14 point");
    ReleaseDC(nullptr, screen);

    // The system menu entry of the about box, and its command.
    fcp::ui::CMenu* menu = GetSystemMenu(FALSE);
    Check(menu != nullptr, "system menu");
    if (menu) {
      menu->AppendMenu(MF_SEPARATOR);
      menu->AppendMenu(MF_STRING, IDM_ABOUTBOX, L"&About Quillon_Dialog...");
      HMENU system = ::GetSystemMenu(hwnd, FALSE);
      const int last = GetMenuItemCount(system) - 1;
      wchar_t text[64] = {};
      GetMenuStringW(system, static_cast<UINT>(last), text, 64, MF_BYPOSITION);
      Check(GetMenuItemID(system, last) == IDM_ABOUTBOX && std::wstring(text) == L"&About Quillon_Dialog...",
            "about entry appended to the system menu");
      Check(GetMenuState(system, static_cast<UINT>(last - 1), MF_BYPOSITION) & MF_SEPARATOR, "separator before it");
    }
    ::SendMessageW(hwnd, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    Check(sys_command_seen == IDM_ABOUTBOX, "WM_SYSCOMMAND reaches OnSysCommand");

    // Icons from the executable's resources.
    HICON icon = fcp::ui::AfxGetApp()->LoadIcon(IDR_MAINFRAME);
    Check(icon != nullptr, "icon 128 loads");
    SetIcon(icon, TRUE);
    SetIcon(icon, FALSE);
    Check(reinterpret_cast<HICON>(::SendMessageW(hwnd, WM_GETICON, ICON_BIG, 0)) == icon &&
              reinterpret_cast<HICON>(::SendMessageW(hwnd, WM_GETICON, ICON_SMALL, 0)) == icon,
          "icon set as large and small icon");

    // USB device-interface notifications.
    fcp::ui::DeviceInterfaceFilter filter;
    filter.size = 32;
    filter.device_type = DBT_DEVTYP_DEVICEINTERFACE;
    filter.class_guid = fcp::ui::kUsbDeviceInterfaceClass;
    HDEVNOTIFY notification = RegisterDeviceNotification(filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    Check(notification != nullptr, "device notification registered");
    Check(notification && UnregisterDeviceNotification(notification), "device notification unregistered");
    Check(::SendMessageW(hwnd, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0) == TRUE &&
              device_event_seen == DBT_DEVICEREMOVECOMPLETE,
          "WM_DEVICECHANGE reaches OnDeviceChange");

    // A timer, and a worker that uses the controls while this thread waits for it.
    Check(SetTimer(100, 50) != 0, "timer 100 armed");
    LOGFONTW bold = GetDlgItem(IDC_STATUS)->GetFont()->LogFont();
    bold.lfHeight = 40;
    bold.lfWeight = FW_BOLD;
    worker = std::thread([this, bold] {
      m_btnCheck.EnableWindow(FALSE);
      SetDlgItemText(IDC_STATUS, L"FAIL");
      Window()->SetItemFont(IDC_STATUS, bold, true);
      m_btnCheck.EnableWindow(TRUE);
      worker_done = true;
    });
    WaitWithMessages([this] { return worker_done.load() && timer_seen == 100; });
    worker.join();
    Check(GetItemText(IDC_STATUS) == L"FAIL", "status text set from the worker");
    Check(::IsWindowEnabled(::GetDlgItem(hwnd, IDC_BUTTON_CHECK)), "button enabled again from the worker");
    LOGFONTW status_font{};
    GetObjectW(reinterpret_cast<HFONT>(::SendDlgItemMessageW(hwnd, IDC_STATUS, WM_GETFONT, 0, 0)), sizeof(status_font),
               &status_font);
    Check(status_font.lfHeight == 40 && status_font.lfWeight == FW_BOLD, "status font set from the worker");

    // Once the dialog is on screen: the colour of the status cell, then the close.
    SetTimer(200, 300);
    return TRUE;
  }

  void CheckPaintedColourAndClose() {
    const HWND hwnd = GetSafeHwnd();
    ::UpdateWindow(hwnd);
    const RECT status = ItemRectInClient(hwnd, IDC_STATUS);
    HDC dc = GetDC(hwnd);
    const COLORREF pixel = GetPixel(dc, (status.left + status.right) / 2, status.top + 2);
    ReleaseDC(hwnd, dc);
    if (pixel != RGB(255, 0, 0)) std::printf("status cell pixel: %06lx\n", static_cast<unsigned long>(pixel));
    Check(pixel == RGB(255, 0, 0), "status cell painted red");
    // A worker closes the dialog, the way a silent check ends it.
    closer = std::thread([this] { PostMessage(WM_CLOSE); });
  }

  std::wstring GetItemText(int id) {
    CWnd* item = GetDlgItem(id);
    return item ? item->GetWindowText() : std::wstring();
  }

  void OnTimer(UINT_PTR idEvent) override {
    if (idEvent == 100) {
      timer_seen = idEvent;
      KillTimer(100);
    } else if (idEvent == 200) {
      KillTimer(200);
      CheckPaintedColourAndClose();
    }
    CDialogEx::OnTimer(idEvent);
  }
  BOOL OnDeviceChange(UINT event_type, DWORD_PTR) override {
    device_event_seen = event_type;
    return TRUE;
  }
  void OnSysCommand(UINT nID, LPARAM lParam) override {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
      sys_command_seen = nID;
      OwnedDialog about(GetSafeHwnd());
      Check(about.DoModal() == IDOK, "a second dialog runs modally over the first");
      Check(::IsWindowEnabled(GetSafeHwnd()), "the main window is enabled again after it");
      return;
    }
    CDialogEx::OnSysCommand(nID, lParam);
  }
  HBRUSH OnCtlColor(fcp::ui::CDC* pDC, CWnd* pWnd, UINT ctl_color) override {
    HBRUSH brush = CDialogEx::OnCtlColor(pDC, pWnd, ctl_color);
    if (pWnd && pWnd->GetDlgCtrlID() == IDC_STATUS && pWnd->GetWindowText() == L"FAIL") pDC->SetBkColor(RGB(255, 0, 0));
    return brush;
  }
};

// The resources linked into the Windows programs: the string table agrees with the framework's
// string data, the manifest asks for administrator rights and declares DPI awareness, and the
// version resource names the tool.
void CheckResources() {
  HMODULE module = GetModuleHandleW(nullptr);
  wchar_t about[64] = {};
  LoadStringW(module, IDS_ABOUTBOX, about, 64);
  Check(std::wstring(about) == fcp::ui::LoadResourceString(IDS_ABOUTBOX), "string 101 as in the framework");

  HRSRC manifest_info = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  std::string manifest;
  if (manifest_info) {
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(module, manifest_info)));
    manifest.assign(bytes, SizeofResource(module, manifest_info));
  }
  Check(manifest.find("level=\"requireAdministrator\"") != std::string::npos, "manifest requires administrator");
  Check(manifest.find(">true</dpiAware>") != std::string::npos, "manifest declares DPI awareness");

  HRSRC version_info = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));  // RT_VERSION
  bool names_tool = false;
  if (version_info) {
    const auto* bytes = static_cast<const wchar_t*>(LockResource(LoadResource(module, version_info)));
    const std::wstring block(bytes, SizeofResource(module, version_info) / sizeof(wchar_t));
    names_tool = block.find(std::wstring(L"OriginalFilename\0", 17)) != std::wstring::npos &&
                block.find(L"FixCorePower.exe") != std::wstring::npos;
  }
  Check(names_tool, "version resource names FixCorePower.exe");
}

class ProbeApp final : public fcp::ui::CWinApp {
 public:
  BOOL InitInstance() override {
    CheckResources();
    ProbeDialog dialog;
    m_pMainWnd = &dialog;
    const INT_PTR result = dialog.DoModal();
    m_pMainWnd = nullptr;
    if (dialog.closer.joinable()) dialog.closer.join();
    Check(result == IDCANCEL, "WM_CLOSE ends the modal dialog");
    // A late caller that still holds a control of the closed dialog reaches nothing.
    std::wstring late = L"unchanged";
    std::thread([&] {
      dialog.m_btnCheck.EnableWindow(TRUE);
      late = dialog.m_btnCheck.GetWindowText();
    }).join();
    Check(late.empty() && !dialog.m_btnCheck.IsWindowEnabled(), "control calls after the close do nothing");
    return FALSE;
  }
  int ExitInstance() override { return g_failed == 0 ? 0 : 1; }
};

ProbeApp g_app;

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR command_line, int) {
  const int code = fcp::ui::Win32Main(instance, command_line);
  std::printf("win32 backend: %d passed, %d failed\n", g_passed, g_failed);
  return code;
}
