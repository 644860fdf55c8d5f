// The Linux tool's face on its command line: the Windows tool's grammar, plus what a Linux user
// expects of a command: "--help"/"-h" and "--version" alone print and end without touching a device,
// words that are ignored and IDs that are not read as written are warned about, and a silent run
// never loads the dialog module. Warnings go through the operator-notice port (os/operator_notices.h).
#pragma once

namespace fcp::app {

int RunLinuxFace(int argc, char** argv);

}  // namespace fcp::app
