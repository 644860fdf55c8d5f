#include "ui/backend.h"

#include "os/port.h"

namespace fcp::ui {

Backend* CurrentBackend() { return os::InstalledPort<Backend>(); }
Backend* InstallBackend(Backend* backend) { return os::InstallPort<Backend>(backend); }

}  // namespace fcp::ui
