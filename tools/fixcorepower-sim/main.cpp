// fixcorepower-sim <scenario.json> [tool options]
//
// Runs the tool on the virtual workstation that the scenario file describes. The result files go
// beside this program, as the tool writes them beside itself. After the run the workstation, with
// every chip's state as the run left it, is saved as the scenario file "workstation-state.json"
// beside this program too: running again with that file continues on the same chips. What the
// simulated Windows of the pass-through route holds when the tool has returned (services, RefCount,
// files, mutexes, the driver's registrations and open handles) goes to "windows-state.json" beside
// it; FCP_SIM_FACE=linux has no such Windows and removes an earlier report.
// FCP_SIM_TRACE names a file that receives one line per control transfer; FCP_SIM_FACE=linux runs
// as the Linux tool: without the Windows pass-through route, with the Linux tool's command line and
// its lines for the operator on standard error. The dialog's device
// notifications come from the workstation: the scenario's events plug devices in and out while the
// dialog is open, and each change reaches the dialog as an arrival or a removal.
#include <sys/prctl.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/linux_face.h"
#include "os/device_events.h"
#include "os/linux/stderr_notices.h"
#include "os/operator_notices.h"
#include "os/port.h"
#include "os/process_environment.h"
#include "sim/scenario.h"
#include "sim/windows/passthrough_views.h"
#include "sim/windows/windows_state.h"
#include "sim/windows/windows_views.h"
#include "sim/workstation.h"
#include "ui/linux/linux_main.h"
#include "workstation_device_events.h"

namespace {

constexpr char kStateFileName[] = "workstation-state.json";
constexpr char kWindowsStateFileName[] = "windows-state.json";

std::filesystem::path BesideThisProgram(const char* name) {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return (error ? std::filesystem::current_path() : self.parent_path()) / name;
}

// The simulated Windows' holdings after the run, or no report at all (never an earlier run's).
void SaveWindowsState(std::optional<fcp::sim::windows::PassThroughViews>& pass_through) {
  const auto path = BesideThisProgram(kWindowsStateFileName);
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  if (!pass_through) return;
  std::ofstream out(path, std::ios::binary);
  out << fcp::sim::windows::WindowsStateJson(*pass_through).dump(2)
      << '\n';
  if (!out.flush()) std::fprintf(stderr, "could not save the Windows state to %s\n", path.string().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  // The workstation's transfer times are sleeps: without this each would last up to the kernel's
  // default timer slack (50 us) longer than the scenario says. Threads started later inherit it.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <scenario.json> [-s] [-LVIOutput] [-vid hex] [-pid hex]\n", argv[0]);
    return 2;
  }
  const fcp::sim::ScenarioLoad scenario = fcp::sim::LoadScenarioFile(argv[1]);
  if (!scenario.workstation) {
    std::fprintf(stderr, "%s\n", scenario.error.c_str());
    return 2;
  }

  int exit_code = 0;
  {
    fcp::sim::ScopedWorkstation workstation(scenario.workstation);
    fcp::sim::windows::ScopedWindowsViews views(scenario.workstation);
    // The pass-through route for cameras libusb does not list: a simulated Windows that installs
    // and runs the tool's driver, the device tree, and the camera layer's ports. FCP_SIM_FACE=linux
    // leaves them out, as the Linux tool does (usbfs reaches every USB device), so that a trace
    // compares with the Linux tool's on a real kernel.
    const char* face = std::getenv("FCP_SIM_FACE");
    const bool linux_face = face && std::string(face) == "linux";
    std::optional<fcp::sim::windows::PassThroughViews> pass_through;
    std::optional<fcp::sim::windows::ScopedPassThroughPorts> pass_through_ports;
    // The Linux face also sees the cameras as Linux's UVC driver shows them: a control read that moved
    // no data looks like a full one.
    if (linux_face) views.Views().VideoInputs().SetEmptyReads(fcp::os::EmptyReads::kLookFull);
    if (!linux_face) {
      pass_through.emplace(scenario.workstation);
      pass_through_ports.emplace(*pass_through, views.Views().Registry());
    }
    fcp::os::ScopedPort<fcp::os::ProcessEnvironment> environment(&fcp::os::PlatformProcessEnvironment());
    fcp::sim::WorkstationDeviceEvents device_events(scenario.workstation, scenario.events);
    fcp::os::ScopedPort<fcp::os::DeviceEvents> device_events_port(&device_events);

    // The tool sees its own name followed by the options after the scenario file.
    std::vector<char*> tool_args{argv[0]};
    tool_args.insert(tool_args.end(), argv + 2, argv + argc);
    tool_args.push_back(nullptr);
    // The Linux face reads its command line as the Linux tool does (help, version, warnings, silent
    // runs without the dialog module) and tells the operator on standard error; the Windows face
    // does neither, as the Windows tool does not.
    fcp::os::ScopedPort<fcp::os::OperatorNotices> notices(linux_face ? &fcp::os::StderrNotices() : nullptr);
    const int tool_argc = static_cast<int>(tool_args.size() - 1);
    exit_code = linux_face ? fcp::app::RunLinuxFace(tool_argc, tool_args.data())
                           : fcp::ui::LinuxMain(tool_argc, tool_args.data());
    SaveWindowsState(pass_through);
  }

  std::string error;
  const std::string state_path = BesideThisProgram(kStateFileName).string();
  if (!fcp::sim::SaveScenarioFile(*scenario.workstation, state_path, &error)) {
    std::fprintf(stderr, "could not save the workstation state to %s: %s\n", state_path.c_str(), error.c_str());
  }
  return exit_code;
}
