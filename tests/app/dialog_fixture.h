// The check dialog on the headless host: the dialog runs modally on a thread of its own (its
// dialog thread), the test drives it from outside and reads its controls and files.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/fix_core_power_dlg.h"
#include "fake_device_ops.h"
#include "fake_environment.h"
#include "os/port.h"
#include "os/process_environment.h"
#include "ui/headless/headless_backend.h"

namespace fcp::test {

std::string ReadFile(const std::filesystem::path& path);

class DialogTest : public ::testing::Test {
 protected:
  static constexpr int kDialog = IDD_QUILLON_DIALOG_DIALOG;

  void SetUp() override;
  void TearDown() override;

  // Opens the dialog with a command line and waits until its first check has ended (or, with
  // `wait_for_check` false, only until the window is open).
  void Open(const std::wstring& command_line = L"", bool wait_for_check = true);
  // Closes it (WM_CLOSE) and waits for DoModal to return.
  void Close();
  bool WaitClosed();

  std::wstring Text(int id) const;
  bool Enabled(int id) const;
  bool CheckEnded() const;  // status PASS/FAIL and the worker gone
  bool WaitCheckEnded();
  // Runs on the dialog's thread, with the dialog.
  void OnDialog(const std::function<void(CFixCorePowerDlg&)>& call);
  std::wstring Location();

  std::vector<std::string> FailureLogs() const;
  std::filesystem::path ResultFile() const { return dir_ / "result.txt"; }

  FakeDeviceOps& ops_ = FakeDeviceOps::Instance();
  ui::headless::HeadlessBackend backend_{ui::headless::Options{.clock_timers = false}};
  FakeEnvironment environment_;
  std::filesystem::path dir_;
  std::atomic<CFixCorePowerDlg*> dialog_{nullptr};
  std::atomic<bool> closed_{false};
  INT_PTR modal_result_ = 0;
  std::thread dialog_thread_;

 private:
  ui::Backend* previous_backend_ = nullptr;
  os::ProcessEnvironment* previous_environment_ = nullptr;
};

}  // namespace fcp::test
