// The Linux tool's main(): the platform's ports, then the Linux face of the application.
#include "app/linux_face.h"
#include "os/device_events.h"
#include "os/device_registry.h"
#include "os/linux/device_registry_sysfs.h"
#include "os/linux/stderr_notices.h"
#include "os/linux/udev_device_events.h"
#include "os/linux/video_inputs_v4l2.h"
#include "os/operator_notices.h"
#include "os/port.h"
#include "os/process_environment.h"
#include "os/video_inputs.h"

int main(int argc, char** argv) {
  fcp::os::ScopedPort<fcp::os::ProcessEnvironment> environment(&fcp::os::PlatformProcessEnvironment());
  fcp::os::ScopedPort<fcp::os::OperatorNotices> notices(&fcp::os::StderrNotices());
  fcp::os::ScopedPort<fcp::os::VideoInputs> video_inputs(&fcp::os::V4l2VideoInputs());
  fcp::os::ScopedPort<fcp::os::DeviceRegistry> registry(&fcp::os::SysfsDeviceRegistry());
  fcp::os::ScopedPort<fcp::os::DeviceEvents> device_events(&fcp::os::UdevDeviceEvents());
  return fcp::app::RunLinuxFace(argc, argv);
}
