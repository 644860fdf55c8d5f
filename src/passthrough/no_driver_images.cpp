// This platform's tool reaches such cameras without the Windows driver: it carries no images.
#include "passthrough/driver_images.h"

namespace fcp::passthrough {

const DriverImages& EmbeddedDriverImages() {
  static const DriverImages kNone;
  return kNone;
}

}  // namespace fcp::passthrough
