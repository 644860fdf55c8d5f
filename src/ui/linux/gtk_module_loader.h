// Finding and opening the GTK dialog module (ui/gtk/gtk_module.h) for the Linux entry.
#pragma once
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "os/device_events.h"
#include "ui/backend.h"

namespace fcp::ui {

// True when the environment names a display (DISPLAY or WAYLAND_DISPLAY, non-empty). Without one
// the GTK dialog could not open, and its module is not loaded at all.
bool DisplayNamed();

// Where the module is looked for, in order: beside the program, in the private library directory of
// an installation the program lies in (<prefix>/bin/../lib/fixcorepower), and in the package's
// (for a copy of the installed program run from a station directory). Absolute paths only: no
// search path of the environment decides what code this process runs.
std::vector<std::filesystem::path> GtkModuleCandidates(const std::filesystem::path& program_directory);

struct GtkModuleLoad {
  std::unique_ptr<Backend> backend;  // null with an empty error: the display could not be opened
  std::string error;                 // why no module could be used (missing, unloadable, mismatched)
};

// Loads the first candidate that exists (never falling through past one that fails) and opens the
// display with it. A module that another user could have put or changed is refused. The module
// stays loaded for the life of the process. The backend opens device-event sources through
// `device_events` (may be null), which must outlive it.
GtkModuleLoad LoadGtkBackend(const std::vector<std::filesystem::path>& candidates, os::DeviceEvents* device_events);

}  // namespace fcp::ui
