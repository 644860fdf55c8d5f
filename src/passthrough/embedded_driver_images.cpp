// The images this executable carries (generated from the driver builds; see driver_images.cmake).
#include "passthrough/driver_images.h"

namespace fcp::passthrough {
namespace embedded {
extern const unsigned char kImageX86[];
extern const size_t kImageX86Size;
extern const unsigned char kImageX64[];
extern const size_t kImageX64Size;
extern const unsigned char kImageArm64[];
extern const size_t kImageArm64Size;
}  // namespace embedded

const DriverImages& EmbeddedDriverImages() {
  static const DriverImages kImages = [] {
    DriverImages table;
    table.slot[0] = {embedded::kImageX86, embedded::kImageX86Size};
    table.slot[1] = {embedded::kImageX64, embedded::kImageX64Size};
    table.slot[3] = {embedded::kImageArm64, embedded::kImageArm64Size};
    return table;
  }();
  return kImages;
}

}  // namespace fcp::passthrough
