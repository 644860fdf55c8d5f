// The GTK 3 backend: the Linux dialog, laid out from the template data (dialog units converted with
// the dialog font's metrics), the status colour drawn behind the text as WM_CTLCOLOR asks, the
// system menu as the header bar's menu, and USB device events from the device-event port.
#pragma once
#include <memory>

#include "os/device_events.h"
#include "ui/backend.h"

namespace fcp::ui::gtk {

// Opens the display; nullptr when there is none (no DISPLAY, or it cannot be reached). A window's
// device registration reads a source that `device_events` opens (none: the registration fails).
std::unique_ptr<Backend> CreateBackend(os::DeviceEvents* device_events);

}  // namespace fcp::ui::gtk
