// The extension-unit command channel: finding the unit's node, control reads and writes, the VCMD
// exchanges (qualify, status block, memory read) and the recovery after a failed request.
#include <algorithm>
#include <cstring>

#include "os/video_inputs.h"
#include "os/win_types.h"
#include "uvc/current_camera.h"
#include "uvc/uvc.h"
#include "uvc/vcmd.h"

using fcp::os::KspNode;
using fcp::uvc::Camera;
using fcp::uvc::kControlSize;
using fcp::uvc::VcmdBlock;

namespace {

constexpr uint32_t kKspNodeSize = sizeof(KspNode);

KspNode ExtensionUnitProperty(uint32_t control, uint32_t flags, uint32_t node_id) {
  KspNode property;
  property.set = fcp::uvc::kExtensionUnitGuid;
  property.id = control;
  property.flags = flags | fcp::os::kKsPropertyTypeTopology;
  property.node_id = node_id;
  property.reserved = 0;
  return property;
}

// A read that returned fewer bytes than the control holds (ERROR_BAD_LENGTH): the buffer would keep
// the zeros it started with, and a selector or signature read as zeros decides a verdict.
constexpr HRESULT kShortRead = fcp::os::HresultFromWin32(24);

// Results after which the unit cannot be talked to at all, so no status read or abort follows.
bool UnitUnreachable(HRESULT result) {
  return result == E_NOINTERFACE || result == fcp::os::HresultFromWin32(ERROR_GEN_FAILURE);
}

}  // namespace

int UVC_FindExtensionUnit(uint32_t& node_id) {
  auto& filter = Camera().filter;
  if (!filter) return 0;
  std::unique_ptr<fcp::os::KsTopologyInfo> topology;
  if (FAILED(filter->QueryTopologyInfo(topology)) || !topology) return 0;
  uint32_t nodes = 0;
  if (FAILED(topology->GetNumNodes(nodes))) return 0;
  for (uint32_t node = 0; node < nodes; ++node) {
    fcp::text::Guid type;
    if (FAILED(topology->GetNodeType(node, type))) return 0;
    if (type != fcp::os::kKsNodeTypeDevSpecific) continue;
    std::unique_ptr<fcp::os::KsControl> node_control;
    if (FAILED(topology->CreateNodeInstance(node, node_control)) || !node_control) return 0;
    const KspNode query =
        ExtensionUnitProperty(fcp::uvc::kCommandControl, fcp::os::kKsPropertyTypeSetSupport, node);
    if (SUCCEEDED(node_control->KsProperty(query, kKspNodeSize, nullptr, 0, nullptr))) {
      node_id = node;
      return 1;
    }
  }
  return 0;
}

HRESULT UVC_SetControl(uint32_t control, const uint8_t block[8]) {
  auto& camera = Camera();
  if (!camera.ks_control || block == nullptr) return E_FAIL;
  VcmdBlock data;
  std::copy_n(block, kControlSize, data.begin());
  uint32_t returned = 0;
  return camera.ks_control->KsProperty(ExtensionUnitProperty(control, fcp::os::kKsPropertyTypeSet, camera.node_id),
                                      kKspNodeSize, data.data(), kControlSize, &returned);
}

HRESULT UVC_GetControl(uint32_t control, uint8_t* buffer, uint32_t count) {
  auto& camera = Camera();
  if (!camera.ks_control) return E_FAIL;
  VcmdBlock data{};
  uint32_t returned = 0;
  const HRESULT result =
      camera.ks_control->KsProperty(ExtensionUnitProperty(control, fcp::os::kKsPropertyTypeGet, camera.node_id),
                                   kKspNodeSize, data.data(), kControlSize, &returned);
  if (FAILED(result)) return result;
  if (returned < kControlSize) return kShortRead;
  if (buffer != nullptr) std::copy_n(data.begin(), std::min(count, kControlSize), buffer);
  return result;
}

int UVC_CommandRead(const uint8_t block[8], uint8_t* buffer, uint32_t count) {
  if (count > kControlSize) return 0;
  HRESULT result = UVC_SetControl(fcp::uvc::kCommandControl, block);
  if (SUCCEEDED(result)) result = UVC_GetControl(fcp::uvc::kDataControl, buffer, count);
  if (FAILED(result)) {
    UVC_Recover(result);
    return 0;
  }
  return 1;
}

int UVC_DevQualify() {
  const VcmdBlock command = fcp::uvc::MakeVcmd(fcp::uvc::kCmdQualify, 0, kControlSize);
  VcmdBlock signature{};
  if (!UVC_CommandRead(command.data(), signature.data(), kControlSize)) return 0;
  return signature == fcp::uvc::kVendorSignature ? 1 : 0;
}

int UVC_GetDevStatus() {
  auto& status = Camera().status;
  for (uint32_t piece = 0; piece < fcp::uvc::kStatusPieces; ++piece) {
    const VcmdBlock command = fcp::uvc::MakeVcmd(fcp::uvc::kCmdStatusPiece, piece, kControlSize);
    if (!UVC_CommandRead(command.data(), status.data() + piece * kControlSize, kControlSize)) return 0;
  }
  return 1;
}

int UVC_ReadMem(uint32_t address, uint8_t* buffer, uint32_t length) {
  // The command's length field holds 16 bits: a longer read would ask the chip for less than it
  // then reads back.
  if (length > 0xFFFF || (buffer == nullptr && length != 0)) return 0;
  const VcmdBlock command = fcp::uvc::MakeVcmd(fcp::uvc::kCmdReadMemory, address, static_cast<uint16_t>(length));
  HRESULT result = UVC_SetControl(fcp::uvc::kCommandControl, command.data());
  for (uint32_t offset = 0; SUCCEEDED(result) && offset < length; offset += kControlSize) {
    result = UVC_GetControl(fcp::uvc::kDataControl, buffer + offset, std::min(kControlSize, length - offset));
  }
  if (FAILED(result)) {
    UVC_Recover(result);
    return 0;
  }
  return 1;
}

int UVC_ReportsEmptyReads() {
  const auto& control = Camera().ks_control;
  return !control || control->ReportsEmptyReads() ? 1 : 0;
}

void UVC_Recover(HRESULT result) {
  if (UnitUnreachable(result)) return;
  VcmdBlock reply{};
  UVC_GetControl(fcp::uvc::kCommandControl, reply.data(), kControlSize);
  UVC_SetControl(fcp::uvc::kCommandControl, fcp::uvc::kAbortCommand.data());
}
