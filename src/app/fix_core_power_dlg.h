// The check dialog: camera selection, device-change rescans, the status display, and the start, stop
// and verdict of each check (the worker that runs it: check_worker.h, which sees the dialog as its
// CheckClient).
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "app/check_client.h"
#include "app/check_result.h"
#include "ui/cdialogex.h"
#include "ui/resource_ids.h"

class CCheckWorker;

class CFixCorePowerDlg : public fcp::ui::CDialogEx, public CheckClient {
 public:
  static constexpr UINT IDD = IDD_QUILLON_DIALOG_DIALOG;
  static constexpr UINT_PTR kRescanTimer = 100;
  static constexpr UINT kRescanPeriodMs = 200;
  static constexpr UINT kMaxRescanTries = 25;

  explicit CFixCorePowerDlg(CWnd* parent = nullptr);
  ~CFixCorePowerDlg() override;

  void ParseCommandLine(const std::wstring& command_line);

  // The repair sequence for the selected camera (m_strLocation), its error text into m_strError;
  // nonzero = PASS. Runs on the worker's thread.
  int FixCorePower();

  // Starts a check (the Check button, and once when the dialog opens).
  void OnBnClickedCheck();
  // Stops a running worker, waiting for it while the dialog keeps processing its messages; on
  // return no worker runs.
  void StopWorker();
  // Waits, processing messages, until a running worker has ended by itself (no stop request).
  void WaitForWorker();
  bool IsWorkerRunning() const;

  HICON m_hIcon = nullptr;
  HDEVNOTIFY m_hDevNotify = nullptr;
  std::wstring m_strModuleDir;
  fcp::ui::CFont m_fontStatus;
  unsigned m_nRescanTries = 0;
  std::shared_ptr<CCheckWorker> m_pWorker;
  fcp::ui::CEdit m_editCamera;
  fcp::ui::CButton m_btnCheck;
  std::atomic<BOOL> m_bChecking{0};
  std::wstring m_strLocation;
  std::wstring m_strError;
  BOOL m_bSilent = 0;
  BOOL m_bLVIOutput = 0;
  uint16_t m_wVid = 0;
  uint16_t m_wPid = 0;

 protected:
  void DoDataExchange(fcp::ui::CDataExchange* pDX) override;
  BOOL OnInitDialog() override;
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  void OnSysCommand(UINT nID, LPARAM lParam) override;
  void OnPaint() override;
  HCURSOR OnQueryDragIcon() override;
  BOOL OnDeviceChange(UINT event_type, DWORD_PTR data) override;
  void OnClose() override;
  void OnOK() override;
  void OnCancel() override;
  void OnTimer(UINT_PTR idEvent) override;
  HBRUSH OnCtlColor(fcp::ui::CDC* pDC, fcp::ui::CWnd* pWnd, UINT ctl_color) override;

  BOOL RegisterUsbNotification();
  void SetStatusFont();
  void RescanCamera();

 private:
  // CheckClient: the worker's steps that show something or run the sequence, on its thread.
  void WorkerStarting(std::stop_token stop) override;
  void CheckStarting() override;
  std::optional<bool> RunSequence() override;
  // The end of every check, on the worker's thread or (a worker that could not start) here.
  void ReportVerdict(bool pass) override;
  void WorkerEnded() override;
  // USB IDs of the selected camera, for the operator's verdict line (os/operator_notices.h).
  uint16_t m_wCameraVid = 0;
  uint16_t m_wCameraPid = 0;
  // The stop token of the worker that runs now; set before its thread starts.
  std::stop_token m_workerStop;
  // Set by the worker's run of the sequence: it ended at a safe point on a stop request.
  bool m_bRunStopped = false;
  bool m_bClosing = false;
};
