// The fixed file version a driver image carries in its version resource, read from the image's bytes
// (no file, no loader): the installer compares images it holds in memory.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "os/driver_host.h"

namespace fcp::passthrough {

// The version of the first "VS_VERSION_INFO" block whose fixed information is well formed (its
// signature and a value length that holds it); none when there is no such block.
std::optional<os::FileVersion> ImageFileVersion(const std::vector<uint8_t>& image);

// A "VS_VERSION_INFO" block with only its fixed information, as a version resource holds it.
std::vector<uint8_t> VersionInfoBlock(os::FileVersion version);

}  // namespace fcp::passthrough
