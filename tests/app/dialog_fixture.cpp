#include "dialog_fixture.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace fcp::test {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

void DialogTest::SetUp() {
  ops_.Reset();
  g_nCheckResult = 0;
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  dir_ = std::filesystem::temp_directory_path() /
         ("fcp_app_" + std::to_string(::getpid()) + "_" + info->test_suite_name() + "_" + info->name());
  std::filesystem::remove_all(dir_);
  std::filesystem::create_directories(dir_);
  environment_.module_file_name = (dir_ / "fixcorepower").wstring();
  environment_.now = 0;
  environment_.local_time_fails = false;
  environment_.local_time = std::tm{};
  environment_.local_time.tm_year = 2026 - 1900;
  environment_.local_time.tm_mon = 11;
  environment_.local_time.tm_mday = 10;
  environment_.local_time.tm_hour = 4;
  environment_.local_time.tm_min = 5;
  environment_.local_time.tm_sec = 6;
  previous_backend_ = ui::InstallBackend(&backend_);
  previous_environment_ = os::InstallPort<os::ProcessEnvironment>(&environment_);
}

void DialogTest::TearDown() {
  if (dialog_thread_.joinable()) {
    ops_.OpenGate();
    if (!closed_) backend_.Post(kDialog, WM_CLOSE);
    dialog_thread_.join();
  }
  ui::InstallBackend(previous_backend_);
  os::InstallPort<os::ProcessEnvironment>(previous_environment_);
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void DialogTest::Open(const std::wstring& command_line, bool wait_for_check) {
  dialog_thread_ = std::thread([this, command_line] {
    CFixCorePowerDlg dialog;
    dialog.ParseCommandLine(command_line);
    dialog_ = &dialog;
    modal_result_ = dialog.DoModal();
    dialog_ = nullptr;
    closed_ = true;
  });
  ASSERT_TRUE(backend_.WaitFor([&] { return backend_.IsOpen(kDialog) || closed_; }));
  if (wait_for_check) {
    ASSERT_TRUE(WaitCheckEnded());
  }
}

void DialogTest::Close() {
  backend_.Post(kDialog, WM_CLOSE);
  ASSERT_TRUE(WaitClosed());
}

bool DialogTest::WaitClosed() {
  if (!backend_.WaitFor([&] { return closed_.load(); })) return false;
  dialog_thread_.join();
  return true;
}

std::wstring DialogTest::Text(int id) const {
  auto control = backend_.Control(kDialog, id);
  return control ? control->text : L"<none>";
}

bool DialogTest::Enabled(int id) const {
  auto control = backend_.Control(kDialog, id);
  return control && control->enabled;
}

bool DialogTest::CheckEnded() const {
  const std::wstring status = Text(IDC_STATUS);
  CFixCorePowerDlg* dialog = dialog_;
  return (status == L"PASS" || status == L"FAIL") && Enabled(IDC_BUTTON_CHECK) && dialog;
}

bool DialogTest::WaitCheckEnded() {
  if (!backend_.WaitFor([&] { return CheckEnded() || closed_; })) return false;
  // The worker's last step is behind the button; let it finish.
  return backend_.WaitFor([&] {
    bool running = false;
    OnDialog([&](CFixCorePowerDlg& dialog) { running = dialog.IsWorkerRunning(); });
    return !running;
  });
}

void DialogTest::OnDialog(const std::function<void(CFixCorePowerDlg&)>& call) {
  backend_.Call(kDialog, [&] {
    if (CFixCorePowerDlg* dialog = dialog_) call(*dialog);
  });
}

std::wstring DialogTest::Location() {
  std::wstring location = L"<closed>";
  OnDialog([&](CFixCorePowerDlg& dialog) { location = dialog.m_strLocation; });
  return location;
}

std::vector<std::string> DialogTest::FailureLogs() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("FailedLog_", 0) == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace fcp::test
