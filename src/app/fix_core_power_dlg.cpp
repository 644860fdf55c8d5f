#include "app/fix_core_power_dlg.h"

#include <system_error>
#include <utility>

#include "app/about_dlg.h"
#include "app/check_worker.h"
#include "app/command_line.h"
#include "app/result_files.h"
#include "app/verdict_notice.h"
#include "os/operator_notices.h"
#include "os/port.h"
#include "os/process_environment.h"
#include "repair/fix_core_power.h"
#include "ui/cwinapp.h"
#include "uvc/uvc.h"

using fcp::ui::CDC;
using fcp::ui::CWnd;

namespace {

// What the failure log says when no worker could be started: the sequence never ran.
constexpr wchar_t kWorkerNotStarted[] = L"Failed to start the check thread\n";

// The executable's directory with its trailing separator; empty when the path has none.
std::wstring ModuleDirectory() {
  fcp::os::ProcessEnvironment* environment = fcp::os::InstalledPort<fcp::os::ProcessEnvironment>();
  if (!environment) return {};
  const std::wstring path = environment->ModuleFileName();
  const size_t cut = path.rfind(environment->PathSeparator());
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

}  // namespace

CFixCorePowerDlg::CFixCorePowerDlg(CWnd* parent) : CDialogEx(IDD, parent) {
  if (fcp::ui::CWinApp* app = fcp::ui::AfxGetApp()) m_hIcon = app->LoadIcon(IDR_MAINFRAME);
  m_strModuleDir = ModuleDirectory();
}

CFixCorePowerDlg::~CFixCorePowerDlg() {
  // The dialog outlives its workers. Normally the worker is gone with the window (OnOK/OnCancel);
  // this covers a dialog that is destroyed another way. Without a window the worker's calls on the
  // controls do nothing, so joining cannot block on them.
  if (m_pWorker) {
    m_pWorker->RequestStop();
    m_pWorker.reset();
  }
}

void CFixCorePowerDlg::ParseCommandLine(const std::wstring& command_line) {
  const fcp::app::CommandLineOptions options = fcp::app::ParseCommandLineOptions(command_line);
  m_bSilent = options.silent;
  m_bLVIOutput = options.lvi_output;
  m_wVid = options.vid;
  m_wPid = options.pid;
}

int CFixCorePowerDlg::FixCorePower() {
  return fcp::repair::FixCorePower(m_strLocation, m_strError, m_workerStop, &m_bRunStopped);
}

void CFixCorePowerDlg::DoDataExchange(fcp::ui::CDataExchange* pDX) {
  CDialogEx::DoDataExchange(pDX);
  fcp::ui::DDX_Control(pDX, IDC_BUTTON_CHECK, m_btnCheck);
  fcp::ui::DDX_Control(pDX, IDC_EDIT_CAMERA, m_editCamera);
}

BOOL CFixCorePowerDlg::OnInitDialog() {
  CDialogEx::OnInitDialog();

  static_assert((IDM_ABOUTBOX & 0xFFF0) == IDM_ABOUTBOX, "system commands keep their low four bits clear");
  if (fcp::ui::CMenu* system_menu = GetSystemMenu(FALSE)) {
    const std::wstring about(fcp::ui::LoadResourceString(IDS_ABOUTBOX));
    if (!about.empty()) {
      system_menu->AppendMenu(MF_SEPARATOR);
      system_menu->AppendMenu(MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
  }

  SetIcon(m_hIcon, TRUE);
  SetIcon(m_hIcon, FALSE);

  if (!RegisterUsbNotification()) {
    MessageBox(L"Failed to register USB device interface.", nullptr, MB_OK);
    // No check will run: the process must not end as if one had passed.
    g_nCheckResult = -1;
    PostMessage(WM_CLOSE);
    return TRUE;
  }

  SetStatusFont();
  RescanCamera();
  if (m_bSilent) MoveWindow(-10000, -10000, 0, 0, TRUE);
  OnBnClickedCheck();
  return TRUE;
}

BOOL CFixCorePowerDlg::RegisterUsbNotification() {
  fcp::ui::DeviceInterfaceFilter filter;
  filter.size = 32;  // sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)
  filter.device_type = DBT_DEVTYP_DEVICEINTERFACE;
  filter.reserved = 0;
  filter.class_guid = fcp::ui::kUsbDeviceInterfaceClass;
  m_hDevNotify = RegisterDeviceNotification(filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  return m_hDevNotify != nullptr;
}

void CFixCorePowerDlg::SetStatusFont() {
  CWnd* status = GetDlgItem(IDC_STATUS);
  if (!status) return;
  LOGFONTW font{};
  if (fcp::ui::CFont* current = status->GetFont()) current->GetLogFont(&font);
  RECT client{};
  status->GetClientRect(&client);
  font.lfHeight = client.bottom - client.top;  // positive: the character cell's height
  font.lfWeight = FW_BOLD;
  m_fontStatus.CreateFontIndirect(&font);
  status->SetFont(&m_fontStatus, TRUE);
}

void CFixCorePowerDlg::RescanCamera() {
  // A rescan never stops a check: a stopped check would end without a verdict, and a silent run
  // without its close. It waits for the check's end, which in silent mode closes the dialog.
  if (IsWorkerRunning()) {
    WaitForWorker();
    if (m_bClosing) return;
  }
  StopWorker();  // forgets the ended worker

  SetDlgItemText(IDC_STATUS, L"N/A");
  m_editCamera.SetWindowText(L"");
  m_btnCheck.EnableWindow(FALSE);
  m_strLocation.clear();

  const int selected = (m_wVid == 0 && m_wPid == 0) ? UVC_OpenDefault() : UVC_OpenByVidPid(m_wVid, m_wPid);
  if (!selected) return;
  std::wstring name;
  std::wstring location;
  // The location is kept only when both facts are known, so "no camera selected" always means an
  // empty location.
  if (UVC_GetDeviceName(name) && UVC_GetLocationInfo(location)) {
    // The IDs only serve the verdict's line for the operator: asked for only where it is said.
    m_wCameraVid = m_wCameraPid = 0;
    if (fcp::os::InstalledPort<fcp::os::OperatorNotices>()) {
      uint16_t revision = 0;
      UVC_GetVidPidRev(m_wCameraVid, m_wCameraPid, revision);
    }
    m_strLocation = location;
    m_editCamera.SetWindowText(name);
    m_btnCheck.EnableWindow(TRUE);
  }
}

BOOL CFixCorePowerDlg::OnDeviceChange(UINT event_type, DWORD_PTR) {
  if (m_bChecking) return TRUE;  // dropped, not queued
  if (event_type == DBT_DEVICEARRIVAL) {
    m_nRescanTries = 0;
    SetTimer(kRescanTimer, kRescanPeriodMs, nullptr);
  } else if (event_type == DBT_DEVICEREMOVECOMPLETE) {
    RescanCamera();
  }
  return TRUE;
}

void CFixCorePowerDlg::OnTimer(UINT_PTR idEvent) {
  if (idEvent == kRescanTimer) {
    ++m_nRescanTries;
    KillTimer(kRescanTimer);
    RescanCamera();
    if (m_strLocation.empty() && m_nRescanTries < kMaxRescanTries && !m_bClosing)
      SetTimer(kRescanTimer, kRescanPeriodMs, nullptr);
  }
  CDialogEx::OnTimer(idEvent);
}

HBRUSH CFixCorePowerDlg::OnCtlColor(CDC* pDC, CWnd* pWnd, UINT ctl_color) {
  HBRUSH brush = CDialogEx::OnCtlColor(pDC, pWnd, ctl_color);
  if (pWnd && pWnd->GetDlgCtrlID() == IDC_STATUS) {
    const std::wstring text = pWnd->GetWindowText();
    if (text == L"PASS") {
      pDC->SetBkColor(RGB(0, 255, 0));
    } else if (text == L"FAIL") {
      pDC->SetBkColor(RGB(255, 0, 0));
    }
  }
  return brush;
}

BOOL CFixCorePowerDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
  if (LOWORD(wParam) == IDC_BUTTON_CHECK && HIWORD(wParam) == BN_CLICKED) {
    OnBnClickedCheck();
    return TRUE;
  }
  return CDialogEx::OnCommand(wParam, lParam);
}

void CFixCorePowerDlg::OnSysCommand(UINT nID, LPARAM lParam) {
  if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
    CAboutDlg about;
    about.DoModal();
  } else {
    CDialogEx::OnSysCommand(nID, lParam);
  }
}

void CFixCorePowerDlg::OnPaint() {
  if (!IsIconic()) {
    CDialogEx::OnPaint();
    return;
  }
  fcp::ui::CPaintDC dc(this);
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
  const int cx_icon = GetSystemMetrics(SM_CXICON);
  const int cy_icon = GetSystemMetrics(SM_CYICON);
  RECT rect{};
  GetClientRect(&rect);
  const int x = (rect.right - rect.left - cx_icon + 1) / 2;
  const int y = (rect.bottom - rect.top - cy_icon + 1) / 2;
  dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CFixCorePowerDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

void CFixCorePowerDlg::OnClose() {
  if (m_hDevNotify) {
    UnregisterDeviceNotification(m_hDevNotify);
    m_hDevNotify = nullptr;
  }
  CDialogEx::OnClose();
}

// Every way the dialog ends passes here: the worker is stopped first, so the dialog outlives it.
void CFixCorePowerDlg::OnOK() {
  m_bClosing = true;
  StopWorker();
  CDialogEx::OnOK();
}

void CFixCorePowerDlg::OnCancel() {
  m_bClosing = true;
  StopWorker();
  CDialogEx::OnCancel();
}

bool CFixCorePowerDlg::IsWorkerRunning() const { return m_pWorker && m_pWorker->IsRunning(); }

void CFixCorePowerDlg::OnBnClickedCheck() {
  // The previous worker goes first, so that nothing it still writes can outlive the delete below.
  StopWorker();
  fcp::app::DeleteFileQuietly(m_strModuleDir + fcp::app::kResultFileName);
  SetDlgItemText(IDC_STATUS, L"N/A");
  if (m_bClosing) return;  // the dialog is ending while this waited for the previous worker

  try {
    m_pWorker = std::make_shared<CCheckWorker>(this);
  } catch (const std::system_error&) {
    // No thread for the check (the system is out of them): the check fails here and now, with its
    // files and, in silent mode, the close, so that a silent run still ends with a verdict.
    m_pWorker.reset();
    g_nCheckResult = -1;
    m_strError = kWorkerNotStarted;
    ReportVerdict(false);
  }
}

void CFixCorePowerDlg::StopWorker() {
  // A handler that runs while this waits (a device change, a close) may call here again: each call
  // waits on the same worker, and none returns while one runs.
  while (std::shared_ptr<CCheckWorker> worker = m_pWorker) {
    if (worker->IsRunning()) {
      worker->RequestStop();
      WaitWithMessages([&] { return !worker->IsRunning(); });
    }
    if (m_pWorker == worker) m_pWorker.reset();
  }
}

void CFixCorePowerDlg::WaitForWorker() {
  if (std::shared_ptr<CCheckWorker> worker = m_pWorker) {
    WaitWithMessages([&] { return !worker->IsRunning(); });
  }
}

void CFixCorePowerDlg::WorkerStarting(std::stop_token stop) { m_workerStop = std::move(stop); }

void CFixCorePowerDlg::CheckStarting() { m_btnCheck.EnableWindow(FALSE); }

std::optional<bool> CFixCorePowerDlg::RunSequence() {
  m_bChecking = 1;
  const int pass = FixCorePower();
  m_bChecking = 0;
  if (m_bRunStopped) return std::nullopt;
  return pass != 0;
}

void CFixCorePowerDlg::WorkerEnded() { PostMessage(WM_NULL); }

void CFixCorePowerDlg::ReportVerdict(bool pass) {
  const std::wstring result_path = m_strModuleDir + fcp::app::kResultFileName;
  int result_error = 0;
  fcp::app::NewFileWrite log;
  if (pass) {
    g_nCheckResult = 0;
    SetDlgItemText(IDC_STATUS, L"PASS");
    result_error = fcp::app::WriteTextFile(result_path, fcp::app::ResultText(true, m_bLVIOutput));
  } else {
    SetDlgItemText(IDC_STATUS, L"FAIL");
    result_error = fcp::app::WriteTextFile(result_path, fcp::app::ResultText(false, m_bLVIOutput));
    const std::wstring log_name =
        fcp::app::FailureLogNameNow(fcp::os::InstalledPort<fcp::os::ProcessEnvironment>());
    log = fcp::app::WriteFailureLog(m_strModuleDir, log_name, m_strError);
  }

  if (fcp::os::InstalledPort<fcp::os::OperatorNotices>()) {
    const fcp::app::CheckedCamera camera{m_wCameraVid, m_wCameraPid, m_strLocation};
    fcp::os::SayToOperator(fcp::app::VerdictLine(pass, m_strError, camera));
    if (result_error != 0) fcp::os::SayToOperator(fcp::app::UnwrittenFileLine(result_path, result_error));
    if (log.error != 0) fcp::os::SayToOperator(fcp::app::UnwrittenFileLine(log.path, log.error));
  }

  m_btnCheck.EnableWindow(TRUE);
  if (m_bSilent) PostMessage(WM_CLOSE);
}
