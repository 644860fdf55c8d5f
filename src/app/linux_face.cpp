#include "app/linux_face.h"

#include <clocale>
#include <cstdio>
#include <string>

#include "app/command_line.h"
#include "os/operator_notices.h"
#include "ui/linux/linux_main.h"

namespace fcp::app {
namespace {

constexpr char kUsage[] =
    "Usage: fixcorepower [-s] [-LVIOutput] [-vid HEX] [-pid HEX]\n"
    "Checks the core-power setting of a USB camera's controller chip and repairs it where it is blank.\n"
    "\n"
    "  -s          one check without showing the dialog, then exit\n"
    "  -LVIOutput  write result.txt as [Tool_Result] / Rtn=Pass or Rtn=Fail\n"
    "  -vid HEX    select the camera by its USB vendor ID (hexadecimal)\n"
    "  -pid HEX    select the camera by its USB product ID (hexadecimal)\n"
    "  -h, --help  show this help and exit (only as the only argument)\n"
    "  --version   show the version and exit (only as the only argument)\n"
    "\n"
    "Options may also start with '/'; their case does not matter; other words are ignored with a\n"
    "warning. Without -vid and -pid (or with both 0) the default camera is checked.\n"
    "result.txt and, for a failure, FailedLog_<time>.txt are written beside the program; each\n"
    "verdict is also one line on standard error.\n"
    "Exit status: 0 when the check passed, 255 when it failed or did not finish.\n";

}  // namespace

int RunLinuxFace(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  const std::wstring command_line = ui::CommandLineText(argc, argv);
  switch (StandaloneRequestOf(command_line)) {
    case StandaloneRequest::kHelp:
      std::fputs(kUsage, stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    case StandaloneRequest::kVersion:
      std::printf("fixcorepower %s\n", FCP_VERSION_TEXT);
      return std::fflush(stdout) == 0 ? 0 : 1;
    case StandaloneRequest::kNone:
      break;
  }
  // Read once more by the dialog itself (ParseCommandLine), the same way: here only for what to
  // tell the user and whether a window may ever be shown.
  const CommandLineOptions options = ParseCommandLineOptions(command_line);
  for (const std::string& warning : options.warnings) os::SayToOperator(warning);
  ui::LinuxMainOptions main_options;
  main_options.headless = options.silent != 0;
  return ui::LinuxMain(argc, argv, main_options);
}

}  // namespace fcp::app
