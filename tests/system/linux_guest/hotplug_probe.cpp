// The Linux tool's dialog on the headless face, interactive, over the machine's real cameras and
// USB events (V4L2, sysfs, libusb, the libudev monitor): run in the guest machine to show that a
// camera plugged in after the dialog started is selected by the rescan series and can be checked.
//
//   linux_guest_hotplug_probe <ready-file> [seconds]
//
// Opens the dialog, waits for its first check (no camera yet: FAIL), then creates <ready-file> and
// waits up to <seconds> (default 60) for the dialog to select a camera. Then it presses Check and
// waits for the verdict. Prints what it saw; exit 0 when a camera was selected and its check passed.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "app/fix_core_power_dlg.h"
#include "os/device_registry.h"
#include "os/linux/device_event_thread.h"
#include "os/linux/device_registry_sysfs.h"
#include "os/linux/udev_device_events.h"
#include "os/linux/video_inputs_v4l2.h"
#include "os/port.h"
#include "os/process_environment.h"
#include "os/video_inputs.h"
#include "text/widening.h"
#include "ui/backend.h"
#include "ui/headless/headless_backend.h"
#include "ui/resource_ids.h"

namespace {

constexpr int kDialog = IDD_QUILLON_DIALOG_DIALOG;

using fcp::text::PrintableAscii;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <ready-file> [seconds]\n", argv[0]);
    return 2;
  }
  const auto patience = std::chrono::seconds(argc > 2 ? std::atoi(argv[2]) : 60);
  fcp::os::ScopedPort<fcp::os::ProcessEnvironment> environment(&fcp::os::PlatformProcessEnvironment());
  fcp::os::ScopedPort<fcp::os::VideoInputs> video_inputs(&fcp::os::V4l2VideoInputs());
  fcp::os::ScopedPort<fcp::os::DeviceRegistry> registry(&fcp::os::SysfsDeviceRegistry());

  fcp::ui::headless::HeadlessBackend backend;
  auto monitor = fcp::os::DeviceEventThread::Start(fcp::os::UdevDeviceEvents().Open(), [&](fcp::os::DeviceEvent event) {
    backend.BroadcastDeviceChange(fcp::ui::DeviceChangeOf(event));
  });
  if (!monitor) {
    std::fprintf(stderr, "no udev monitor\n");
    return 1;
  }
  fcp::ui::InstallBackend(&backend);

  std::atomic<CFixCorePowerDlg*> dialog{nullptr};
  std::atomic<bool> closed{false};
  std::thread dialog_thread([&] {
    CFixCorePowerDlg d;
    d.ParseCommandLine(L"");
    dialog = &d;
    d.DoModal();
    dialog = nullptr;
    closed = true;
  });
  auto text = [&](int id) {
    const auto control = backend.Control(kDialog, id);
    return control ? control->text : std::wstring(L"<none>");
  };
  auto verdict_shown = [&] {
    bool running = true;
    backend.Call(kDialog, [&] {
      if (CFixCorePowerDlg* d = dialog) running = d->IsWorkerRunning();
    });
    const std::wstring status = text(IDC_STATUS);
    return closed || ((status == L"PASS" || status == L"FAIL") && !running);
  };

  int code = 1;
  if (backend.WaitFor([&] { return backend.IsOpen(kDialog) || closed; }) && backend.WaitFor(verdict_shown)) {
    std::printf("first check: %s, camera \"%s\"\n", PrintableAscii(text(IDC_STATUS)).c_str(),
                PrintableAscii(text(IDC_EDIT_CAMERA)).c_str());
    std::fflush(stdout);
    std::ofstream(argv[1]) << "ready\n";
    const bool selected = backend.WaitFor(
        [&] {
          const auto button = backend.Control(kDialog, IDC_BUTTON_CHECK);
          return closed || (button && button->enabled && !text(IDC_EDIT_CAMERA).empty());
        },
        patience);
    std::printf("after the arrival: camera \"%s\"%s\n", PrintableAscii(text(IDC_EDIT_CAMERA)).c_str(),
                selected ? "" : " (none selected in time)");
    // The selection left the status at "N/A", so the verdict below is the pressed check's.
    if (selected && backend.Click(kDialog, IDC_BUTTON_CHECK) && backend.WaitFor(verdict_shown, std::chrono::seconds(60))) {
      const std::wstring status = text(IDC_STATUS);
      std::printf("check after the arrival: %s\n", PrintableAscii(status).c_str());
      if (status == L"PASS") code = 0;
    }
  }
  backend.Post(kDialog, WM_CLOSE);
  dialog_thread.join();
  monitor.reset();
  fcp::ui::InstallBackend(nullptr);
  return code;
}
