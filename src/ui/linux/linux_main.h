// The framework's entry on Linux: picks the dialog backend (GTK when a display can be opened and the
// run may show a window, headless otherwise), joins the arguments after the program name into the
// command-line text and runs the application object (AfxWinMain). Returns the exit code. The program's main() installs its
// platform ports first; the dialog's device notifications come from the installed device-event
// port (os/device_events.h), on either backend.
#pragma once
#include <string>

namespace fcp::ui {

struct LinuxMainOptions {
  // Never load the dialog module, whether or not a display is named: a run whose window is never
  // shown (the silent check) must not depend on the module being there and of this build.
  bool headless = false;
};

int LinuxMain(int argc, char** argv, const LinuxMainOptions& options = {});

// The arguments after the program name joined by spaces into the command-line text, each decoded
// by the process's locale.
std::wstring CommandLineText(int argc, char** argv);

}  // namespace fcp::ui
