// The Linux tool's entry: installs the platform's process environment and a dialog backend (GTK when
// a display can be opened, headless otherwise), then runs the application object.
#include <clocale>
#include <cstdlib>
#include <memory>
#include <string>

#include "os/port.h"
#include "os/process_environment.h"
#include "ui/cwinapp.h"
#include "ui/headless/headless_backend.h"
#include "ui/linux/udev_monitor.h"
#ifdef FCP_HAVE_GTK
#include "ui/gtk/gtk_backend.h"
#endif

namespace {

std::wstring Widen(const char* text) {
  std::mbstate_t state{};
  const char* src = text;
  const size_t n = std::mbsrtowcs(nullptr, &src, 0, &state);
  if (n == static_cast<size_t>(-1)) {
    std::wstring bytes;
    for (const char* p = text; *p; ++p) bytes.push_back(static_cast<unsigned char>(*p));
    return bytes;
  }
  std::wstring out(n, L'\0');
  src = text;
  state = {};
  std::mbsrtowcs(out.data(), &src, n, &state);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  fcp::os::ScopedPort<fcp::os::ProcessEnvironment> environment(&fcp::os::PlatformProcessEnvironment());

  // The command line after the program name, as one text (the application cuts it into tokens).
  std::wstring commandLine;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) commandLine += L' ';
    commandLine += Widen(argv[i]);
  }

  std::unique_ptr<fcp::ui::Backend> backend;
#ifdef FCP_HAVE_GTK
  backend = fcp::ui::gtk::CreateBackend();  // none without a display
#endif
  std::unique_ptr<fcp::ui::UdevMonitor> monitor;
  if (!backend) {
    fcp::ui::headless::Options options;
    options.echoMessageBoxes = true;
    auto headless = std::make_unique<fcp::ui::headless::HeadlessBackend>(options);
    // USB arrival and removal reach the headless dialog as they would reach a window.
    monitor = fcp::ui::UdevMonitor::Start([target = headless.get()](WPARAM event) {
      target->BroadcastDeviceChange(event);
    });
    if (!monitor) headless->SetFailDeviceRegistration(true);
    backend = std::move(headless);
  }
  fcp::ui::InstallBackend(backend.get());
  const int code = fcp::ui::AfxWinMain(commandLine);
  monitor.reset();
  fcp::ui::InstallBackend(nullptr);
  return code;
}
