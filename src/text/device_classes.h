// The platform's device setup classes and device interface classes that the tool names: the camera
// layer lists and opens cameras by them, the dialog asks for USB device notifications by one, the
// device interface paths end in one, and the simulated device tree hands them out.
#pragma once
#include "text/guid.h"

namespace fcp::text {

// Setup classes: the class a device node is installed in.
namespace setup_class {
inline constexpr Guid kImage = GuidOf("{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}");
inline constexpr Guid kCamera = GuidOf("{CA3E7AB9-B4C3-4AE6-8251-579EF933890F}");
inline constexpr Guid kMedia = GuidOf("{4D36E96C-E325-11CE-BFC1-08002BE10318}");
inline constexpr Guid kUsb = GuidOf("{36FC9E60-C465-11CF-8056-444553540000}");
inline constexpr Guid kUsbDevice = GuidOf("{88BAE032-5A81-49F0-BC3D-A4FF138216D6}");
}  // namespace setup_class

// Device interface classes: what a device node offers to be opened as. The kernel-streaming
// categories (capture, video, audio) and the camera sensor are the camera's.
namespace interface_class {
inline constexpr Guid kCameraSensor = GuidOf("{24E552D7-6523-47F7-A647-D3465BF1F5CA}");
inline constexpr Guid kKsCapture = GuidOf("{65E8773D-8F56-11D0-A3B9-00A0C9223196}");
inline constexpr Guid kKsVideo = GuidOf("{6994AD05-93EF-11D0-A3CC-00A0C9223196}");
inline constexpr Guid kKsAudio = GuidOf("{6994AD04-93EF-11D0-A3CC-00A0C9223196}");
inline constexpr Guid kUsbDevice = GuidOf("{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
inline constexpr Guid kUsbHub = GuidOf("{F18A0E88-C30C-11D0-8815-00A0C906BED8}");
}  // namespace interface_class

}  // namespace fcp::text
