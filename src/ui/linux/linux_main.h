// The framework's entry on Linux: picks the dialog backend (GTK when a display can be opened,
// headless otherwise), joins the arguments after the program name into the command-line text and
// runs the application object (AfxWinMain). Returns the exit code. The program's main() installs its
// platform ports first. The dialog's device notifications come from the sources `deviceEvents`
// opens, on either backend; by default the system's USB devices (libudev).
#pragma once
#include "ui/linux/device_events.h"

namespace fcp::ui {
int LinuxMain(int argc, char** argv, DeviceEventSourceFactory deviceEvents = {});
}
