// The framework's entry on Linux: picks the dialog backend (GTK when a display can be opened,
// headless otherwise), joins the arguments after the program name into the command-line text and
// runs the application object (AfxWinMain). Returns the exit code. The program's main() installs its
// platform ports first; the dialog's device notifications come from the installed device-event
// port (os/device_events.h), on either backend.
#pragma once

namespace fcp::ui {
int LinuxMain(int argc, char** argv);
}
