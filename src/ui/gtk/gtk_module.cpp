// The module's one export: checks that it was built with the calling program's interface, then
// opens the display and makes the GTK backend.
#include "ui/gtk/gtk_module.h"

#include <cstring>
#include <memory>
#include <type_traits>

#include "gtk_module_stamp.h"
#include "ui/gtk/gtk_backend.h"

extern "C" __attribute__((visibility("default"))) fcp::ui::gtk::GtkModuleStatus fcp_gtk_module_open(
    const char* interface_stamp, fcp::os::DeviceEvents* device_events, fcp::ui::Backend** backend) {
  using fcp::ui::gtk::GtkModuleStatus;
  // The stamp is checked before anything of the caller's is touched: with another interface even
  // the port's layout may differ.
  if (!interface_stamp || std::strcmp(interface_stamp, FCP_GTK_MODULE_STAMP) != 0) return GtkModuleStatus::kWrongStamp;
  std::unique_ptr<fcp::ui::Backend> made = fcp::ui::gtk::CreateBackend(device_events);
  if (!made) return GtkModuleStatus::kNoDisplay;
  *backend = made.release();
  return GtkModuleStatus::kOpened;
}

// The entry's type and name as the loader expects them.
static_assert(std::is_same_v<decltype(&fcp_gtk_module_open), fcp::ui::gtk::GtkModuleEntry>);
