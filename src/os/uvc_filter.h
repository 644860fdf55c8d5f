// How a UVC camera appears as a kernel-streaming filter: the platform's UVC driver reads the
// video-control interface from the configuration descriptor, gives each unit and terminal a topology
// node, answers support queries on extension units from their descriptors, and carries each get/set
// property request on an extension-unit node to the device as a GET_CUR/SET_CUR class request.
//
// Shared by the adapters that stand in for that driver (the virtual workstation's video inputs and
// the Linux adapter over uvcvideo); each supplies only the transport of one class request.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "os/video_inputs.h"
#include "os/win_types.h"
#include "text/guid.h"

namespace fcp::os {

// VC interface descriptor subtypes (UVC 1.x).
enum class VcEntityKind : uint8_t {
  kInputTerminal = 0x02,
  kOutputTerminal = 0x03,
  kSelectorUnit = 0x04,
  kProcessingUnit = 0x05,
  kExtensionUnit = 0x06,
};

struct VcEntity {
  VcEntityKind kind = VcEntityKind::kInputTerminal;
  uint8_t id = 0;                 // bTerminalID / bUnitID
  uint16_t terminal_type = 0;     // wTerminalType of a terminal
  text::Guid extension_code;      // guidExtensionCode of an extension unit
  std::vector<uint8_t> controls;  // bmControls of an extension unit: control n is bit n-1

  bool HasControl(uint32_t control) const;
};

struct VideoControlInterface {
  uint8_t interface_number = 0;
  std::vector<VcEntity> entities;  // in descriptor order: the topology's node numbers
};

// The video-control interface (class 0x0E, subclass 0x01) of a configuration descriptor, the first
// one or the one with `interface_number`, with its entities; none when there is no such interface.
// Walks whole descriptors only: a malformed length ends the walk.
std::optional<VideoControlInterface> ParseVideoControl(std::span<const uint8_t> configuration,
                                                       std::optional<uint8_t> interface_number = {});

// The node type the platform gives each kind of entity.
text::Guid NodeTypeOf(const VcEntity& entity);

// One class request to an extension-unit control.
struct UvcControlRequest {
  bool get = false;             // GET_CUR, else SET_CUR
  uint8_t unit_id = 0;
  uint8_t selector = 0;         // control number
  uint8_t interface_number = 0;  // the video-control interface
};
inline constexpr uint32_t kUvcExtensionControlSize = 8;

// Carries one request to the device: `data` is sent for SET_CUR and filled for GET_CUR. Returns the
// platform's result code and, for GET_CUR, the bytes received in `received`.
using UvcTransport = std::function<HRESULT(const UvcControlRequest& request,
                                           std::span<uint8_t, kUvcExtensionControlSize> data, uint32_t& received)>;

// How the transport reports a GET_CUR that moved no data: as 0 bytes received, or (a platform whose UVC
// driver hides it) as a full read.
enum class EmptyReads { kReported, kLookFull };

// A camera filter over a video-control interface and a transport of its class requests.
std::unique_ptr<VideoFilter> MakeUvcFilter(VideoControlInterface vc, UvcTransport transport, EmptyReads empty_reads);

}  // namespace fcp::os
