#include "uvc/current_camera.h"

namespace fcp::uvc {

CurrentCamera& Camera() {
  static CurrentCamera camera;
  return camera;
}

}  // namespace fcp::uvc
