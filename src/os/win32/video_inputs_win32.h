// The video-input port over DirectShow and kernel streaming. The caller initialises COM.
#pragma once
#include "os/video_inputs.h"

namespace fcp::os::win32 {

// The process's one instance, to be installed with InstallPort<VideoInputs>.
VideoInputs& DirectShowVideoInputs();

}  // namespace fcp::os::win32
