// The driver images the tool carries, one slot per platform index (0 x86, 1 x64, 2 none, 3 ARM64).
#pragma once
#include <cstddef>
#include <cstdint>

namespace fcp::passthrough {

struct DriverImage {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

struct DriverImages {
  DriverImage slot[4];
};

// What this executable carries: the three images in the Windows builds, none elsewhere.
const DriverImages& EmbeddedDriverImages();

}  // namespace fcp::passthrough
