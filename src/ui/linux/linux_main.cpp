#include "ui/linux/linux_main.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "os/device_events.h"
#include "os/linux/device_event_thread.h"
#include "os/port.h"
#include "text/widening.h"
#include "ui/cwinapp.h"
#include "ui/headless/headless_backend.h"
#ifdef FCP_HAVE_GTK
#include "ui/linux/gtk_module_loader.h"
#endif

namespace fcp::ui {

std::wstring CommandLineText(int argc, char** argv) {
  std::wstring command_line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) command_line += L' ';
    command_line += text::WidenLocaleText(argv[i]);
  }
  return command_line;
}

int LinuxMain(int argc, char** argv, const LinuxMainOptions& main_options) {
  std::setlocale(LC_ALL, "");

  // The command line after the program name, as one text (the application cuts it into tokens).
  const std::wstring command_line = CommandLineText(argc, argv);

  os::DeviceEvents* device_events = os::InstalledPort<os::DeviceEvents>();

  std::unique_ptr<Backend> backend;
#ifdef FCP_HAVE_GTK
  if (!main_options.headless && DisplayNamed()) {
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    GtkModuleLoad load = LoadGtkBackend(GtkModuleCandidates(error ? std::filesystem::path() : program.parent_path()),
                                        device_events);
    if (!load.error.empty()) {
      // A display is named, so the operator expects the dialog: a run without it would not be the
      // run asked for. It ends as a failed check ends, with nothing checked.
      std::fprintf(stderr, "%s\n", load.error.c_str());
      return -1;
    }
    backend = std::move(load.backend);  // none when the display cannot be opened
  }
#endif
  if (!backend) {
    headless::Options options;
    options.echo_message_boxes = true;
    // USB arrival and removal reach the headless dialog as they would reach a window: read on a
    // thread of their own for as long as the dialog is registered.
    options.watch_devices = [device_events](std::function<void(os::DeviceEvent)> deliver) -> std::shared_ptr<void> {
      if (!device_events) return nullptr;
      return os::DeviceEventThread::Start(device_events->Open(), std::move(deliver));
    };
    backend = std::make_unique<headless::HeadlessBackend>(options);
  }
  InstallBackend(backend.get());
  const int code = AfxWinMain(command_line);
  InstallBackend(nullptr);
  return code;
}

}  // namespace fcp::ui
