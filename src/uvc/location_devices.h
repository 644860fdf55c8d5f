// Which USB devices a location names. The location text is the tail of "LocationInformation": the hub
// ports from the root down, without the bus. Devices on two buses at the same ports share it, so a
// location can name more than one device; a caller that must reach exactly one device asks here.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fcp::uvc {

struct LocatedDevice {
  std::wstring location_information;  // the whole value: the host controller's address, then the ports
  uint16_t vid = 0;                   // of the device path; 0 when it carries none
  uint16_t pid = 0;
};

// The devices with a video input whose location information equals `location` without regard to
// case, in enumeration order. The video inputs of one device (the same whole value) count once. Every
// video input counts, whether or not it would open as a camera of this chip: its place alone is
// enough to make a location ambiguous. Reads property bags and registry values only: no camera is
// opened and the current camera stays as it is.
std::vector<LocatedDevice> DevicesAtLocation(std::wstring_view location);

}  // namespace fcp::uvc
