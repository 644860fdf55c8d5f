// The GTK dialog as a loadable module: the Linux programs open it (dlopen) only when a display is
// named, so that a run without one never loads GTK's libraries. The module exports one C function,
// kGtkModuleEntry, of type GtkModuleEntry.
//
// Both sides pass C++ objects (the backend, the device-event port), so a module only fits the
// program built with it: the program passes its interface stamp (version and a digest of the
// framework's headers, generated at build time) and a module with another stamp refuses to start.
#pragma once
#include "os/device_events.h"
#include "ui/backend.h"

namespace fcp::ui::gtk {

// The module's file name; the programs look for it beside themselves, then in the package's
// private library directory.
inline constexpr char kGtkModuleFileName[] = "fixcorepower-gtk.so";
inline constexpr char kGtkModuleEntry[] = "fcp_gtk_module_open";

enum class GtkModuleStatus : int {
  kOpened = 0,       // *backend holds the GTK backend (the caller owns it)
  kNoDisplay = 1,    // the display cannot be opened
  kWrongStamp = 2,   // the module was built with another interface
};

// Opens the display and makes the backend. `device_events` (may be null: no device notifications)
// must outlive the backend.
using GtkModuleEntry = GtkModuleStatus (*)(const char* interface_stamp, os::DeviceEvents* device_events,
                                           Backend** backend);

}  // namespace fcp::ui::gtk
