// The scenario's device events reaching the check dialog on the headless host, as the runner wires
// them: the workstation's source read on its own thread, each change a WM_DEVICECHANGE; the real
// camera layers over the virtual workstation, timers on the clock.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "app/fix_core_power_dlg.h"
#include "os/linux/device_event_thread.h"
#include "os/port.h"
#include "os/process_environment.h"
#include "sim/devices.h"
#include "sim/windows/windows_views.h"
#include "sim/workstation.h"
#include "ui/headless/headless_backend.h"
#include "ui/resource_ids.h"
#include "workstation_device_events.h"
#include "../../app/fake_environment.h"

namespace fcp::sim {
namespace {

constexpr int kDialog = IDD_QUILLON_DIALOG_DIALOG;

TEST(ScenarioDeviceEvents, PluggedInAndOutWhileTheDialogIsOpen) {
  auto workstation = std::make_shared<Workstation>();
  auto camera = MakeChipCamera("cam0", {1});
  camera->SetConnected(false);
  ASSERT_TRUE(workstation->AddDevice(camera));
  ScopedWorkstation current(workstation);
  windows::ScopedWindowsViews views(workstation);
  // Well after the dialog's first selection, which comes at once.
  const std::vector<DeviceEvent> events = {{std::chrono::milliseconds(500), "cam0", true}};

  ui::headless::Options options;
  WorkstationDeviceEvents device_events(workstation, events);
  options.watch_devices = [&](std::function<void(os::DeviceEvent)> deliver) -> std::shared_ptr<void> {
    return os::DeviceEventThread::Start(device_events.Open(), std::move(deliver));
  };
  ui::headless::HeadlessBackend backend(options);
  ui::Backend* previous_backend = ui::InstallBackend(&backend);
  test::FakeEnvironment environment;
  const auto dir = std::filesystem::temp_directory_path() / ("fcp_runner_events_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  environment.module_file_name = (dir / "fixcorepower").wstring();
  os::ProcessEnvironment* previous_environment = os::InstallPort<os::ProcessEnvironment>(&environment);

  std::atomic<bool> closed{false};
  std::thread dialog_thread([&] {
    CFixCorePowerDlg dialog;
    dialog.DoModal();
    closed = true;
  });
  auto text = [&](int id) {
    const auto control = backend.Control(kDialog, id);
    return control ? control->text : L"<closed>";
  };
  wchar_t name[40];
  std::swprintf(name, 40, L"VID_%04X&PID_%04X&REV_0100", camera->VendorId(), camera->ProductId());

  // No camera at first: the first check fails.
  EXPECT_TRUE(backend.WaitFor([&] { return text(IDC_STATUS) == L"FAIL"; }));
  EXPECT_EQ(text(IDC_EDIT_CAMERA), L"");
  // Plugged in: the arrival's timer series selects it.
  auto check_enabled = [&] {
    const auto button = backend.Control(kDialog, IDC_BUTTON_CHECK);
    return button && button->enabled;
  };
  EXPECT_TRUE(backend.WaitFor([&] { return text(IDC_EDIT_CAMERA) == name && check_enabled(); }));
  EXPECT_EQ(text(IDC_STATUS), L"N/A");
  // Unplugged (not by the scenario: any change of the workstation is a notification): the removal
  // rescans at once and finds none.
  EXPECT_TRUE(workstation->SetConnected("cam0", false));
  EXPECT_TRUE(backend.WaitFor([&] { return text(IDC_EDIT_CAMERA) == L"" && !check_enabled(); }));

  backend.Post(kDialog, WM_CLOSE);
  EXPECT_TRUE(backend.WaitFor([&] { return closed.load(); }));
  dialog_thread.join();
  ui::InstallBackend(previous_backend);
  os::InstallPort<os::ProcessEnvironment>(previous_environment);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace fcp::sim
