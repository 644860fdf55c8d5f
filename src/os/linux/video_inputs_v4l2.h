// The video-input port over V4L2: uvcvideo's capture nodes as video input devices, their topology
// from the UVC descriptors, extension-unit requests through UVCIOC_CTRL_QUERY.
#pragma once
#include <memory>
#include <string>

#include "os/video_inputs.h"

namespace fcp::os {

// The process's instance over the machine's /sys and /dev, to be installed with
// InstallPort<VideoInputs>.
VideoInputs& V4l2VideoInputs();
// The same over other roots (tests build a sysfs tree of their own).
std::unique_ptr<VideoInputs> MakeV4l2VideoInputs(const std::string& sys_root, const std::string& dev_root);

}  // namespace fcp::os
