// The framework's entry on Linux: picks the dialog backend (GTK when a display can be opened,
// headless otherwise, with USB device events from libudev), joins the arguments after the program
// name into the command-line text and runs the application object (AfxWinMain). Returns the exit
// code. The program's main() installs its platform ports first.
#pragma once

namespace fcp::ui {
int LinuxMain(int argc, char** argv);
}
