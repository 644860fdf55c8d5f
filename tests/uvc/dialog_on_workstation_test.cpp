// The check dialog on the headless host, with the real camera, DFU and repair layers on the virtual
// workstation: it selects a virtual camera, shows its device name and lets the operator check.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "app/fix_core_power_dlg.h"
#include "os/port.h"
#include "os/process_environment.h"
#include "sim/devices.h"
#include "sim/windows/windows_views.h"
#include "sim/workstation.h"
#include "ui/backend.h"
#include "ui/headless/headless_backend.h"
#include "ui/resource_ids.h"

namespace fcp::uvc::test {
namespace {

class TestEnvironment final : public os::ProcessEnvironment {
 public:
  std::wstring module_file_name;
  std::wstring ModuleFileName() override { return module_file_name; }
  wchar_t PathSeparator() const override { return L'/'; }
  std::time_t Now() override { return 0; }
  bool LocalTime(std::time_t, std::tm& out) override {
    out = std::tm{};
    out.tm_year = 126;
    return true;
  }
  HRESULT CoInitializeEx(DWORD) override { return S_OK; }
  void CoUninitialize() override {}
};

class DialogOnWorkstation : public ::testing::Test {
 protected:
  static constexpr int kDialog = IDD_QUILLON_DIALOG_DIALOG;

  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("fcp_uvc_dialog_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    environment_.module_file_name = (dir_ / "fixcorepower").wstring();
    previous_backend_ = ui::InstallBackend(&backend_);
    previous_environment_ = os::InstallPort<os::ProcessEnvironment>(&environment_);
  }
  void TearDown() override {
    if (dialog_thread_.joinable()) {
      if (!closed_) backend_.Post(kDialog, WM_CLOSE);
      dialog_thread_.join();
    }
    ui::InstallBackend(previous_backend_);
    os::InstallPort<os::ProcessEnvironment>(previous_environment_);
    std::filesystem::remove_all(dir_);
  }

  // Opens the dialog and waits until its first check has ended.
  void Open() {
    dialog_thread_ = std::thread([this] {
      CFixCorePowerDlg dialog;
      dialog.ParseCommandLine(L"");
      dialog_ = &dialog;
      dialog.DoModal();
      dialog_ = nullptr;
      closed_ = true;
    });
    ASSERT_TRUE(backend_.WaitFor([&] { return backend_.IsOpen(kDialog) || closed_; }));
    ASSERT_TRUE(backend_.WaitFor([&] {
      const auto status = backend_.Control(kDialog, IDC_STATUS);
      bool running = true;
      backend_.Call(kDialog, [&] {
        if (CFixCorePowerDlg* d = dialog_) running = d->IsWorkerRunning();
      });
      return closed_ || (status && (status->text == L"PASS" || status->text == L"FAIL") && !running);
    }));
  }
  std::wstring Text(int id) const {
    const auto control = backend_.Control(kDialog, id);
    return control ? control->text : L"<none>";
  }
  bool Enabled(int id) const {
    const auto control = backend_.Control(kDialog, id);
    return control && control->enabled;
  }

  std::shared_ptr<sim::Workstation> workstation_ = std::make_shared<sim::Workstation>();
  sim::ScopedWorkstation current_{workstation_};
  sim::windows::ScopedWindowsViews views_;
  ui::headless::HeadlessBackend backend_{ui::headless::Options{.clock_timers = false}};
  TestEnvironment environment_;
  std::filesystem::path dir_;
  std::atomic<CFixCorePowerDlg*> dialog_{nullptr};
  std::atomic<bool> closed_{false};
  std::thread dialog_thread_;
  ui::Backend* previous_backend_ = nullptr;
  os::ProcessEnvironment* previous_environment_ = nullptr;
};

TEST_F(DialogOnWorkstation, ShowsTheVirtualCamerasNameAndEnablesCheck) {
  auto sensor = sim::MakeChipCamera("cam0", {1});
  ASSERT_TRUE(workstation_->AddDevice(sensor));
  views_.Views().SetSensorCamera("cam0", 1);
  auto camera = sim::MakeChipCamera("cam1", {2, 3});
  ASSERT_TRUE(workstation_->AddDevice(camera));
  Open();
  wchar_t name[40];
  std::swprintf(name, 40, L"VID_%04X&PID_%04X&REV_0100", camera->VendorId(), camera->ProductId());
  EXPECT_EQ(Text(IDC_EDIT_CAMERA), name);
  EXPECT_TRUE(Enabled(IDC_BUTTON_CHECK));
  std::wstring location;
  backend_.Call(kDialog, [&] {
    if (CFixCorePowerDlg* d = dialog_) location = d->m_strLocation;
  });
  EXPECT_EQ(location, L"002.003.000.000.000.000");
  // The first check went to the selected camera, found through the same location on the DFU side.
  EXPECT_EQ(Text(IDC_STATUS), L"PASS");
  EXPECT_EQ(camera->chip->CommitCount(), 1u);
  EXPECT_EQ(sensor->chip->CommitCount(), 0u);
}

// Two cameras at the same hub ports of two buses: the dialog shows the camera it selected and keeps
// the location they share; the check finds that location names two devices and touches neither.
TEST_F(DialogOnWorkstation, CamerasSharingALocationFailTheCheckWithoutWriting) {
  auto selected = sim::MakeChipCamera("cam0", {1, 3}, 1);
  auto other = sim::MakeChipCamera("cam1", {1, 3}, 2);
  ASSERT_TRUE(workstation_->AddDevice(selected));
  ASSERT_TRUE(workstation_->AddDevice(other));
  Open();
  wchar_t name[40];
  std::swprintf(name, 40, L"VID_%04X&PID_%04X&REV_0100", selected->VendorId(), selected->ProductId());
  EXPECT_EQ(Text(IDC_EDIT_CAMERA), name);
  std::wstring location, error;
  backend_.Call(kDialog, [&] {
    if (CFixCorePowerDlg* d = dialog_) {
      location = d->m_strLocation;
      error = d->m_strError;
    }
  });
  EXPECT_EQ(location, L"001.003.000.000.000.000");
  EXPECT_EQ(Text(IDC_STATUS), L"FAIL");
  EXPECT_EQ(error, L"Failed to UVC_OpenByLocationInfo\n");
  for (const auto& camera : {selected, other}) {
    EXPECT_EQ(camera->chip->CommitCount(), 0u) << camera->Id();
    EXPECT_EQ(camera->chip->Config()[40], 0) << camera->Id();
  }
}

TEST_F(DialogOnWorkstation, WithoutACameraNoNameAndTheCheckFails) {
  Open();
  EXPECT_EQ(Text(IDC_EDIT_CAMERA), L"");
  EXPECT_EQ(Text(IDC_STATUS), L"FAIL");
}

}  // namespace
}  // namespace fcp::uvc::test
