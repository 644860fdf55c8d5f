// Port: the platform's video input devices and their kernel-streaming filters.
//
// Shaped after the DirectShow and kernel-streaming calls the camera side makes: a system device
// enumerator for the video input category yields monikers; a moniker gives a property bag (device
// path, friendly name) and binds to the camera's filter; the filter offers its KS control interface
// and its topology, whose nodes can be typed and opened. Every call returns the platform's HRESULT
// unchanged, so that the camera side can decide on the exact codes (S_FALSE, E_NOINTERFACE, ...).
// Objects are owned by the caller through unique_ptr (standing in for one COM reference each).
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "os/win_types.h"
#include "text/guid.h"

namespace fcp::os {

// KSPROPERTY_TYPE_* flags of a property request.
inline constexpr uint32_t kKsPropertyTypeGet = 0x00000001;
inline constexpr uint32_t kKsPropertyTypeSet = 0x00000002;
inline constexpr uint32_t kKsPropertyTypeSetSupport = 0x00000100;
inline constexpr uint32_t kKsPropertyTypeTopology = 0x10000000;

// KSNODETYPE_DEV_SPECIFIC: the node type of a vendor-specific (extension) unit.
inline constexpr text::Guid kKsNodeTypeDevSpecific = text::GuidOf("{941C7AC0-C559-11D0-8A2B-00A0C9255AC1}");

// KSP_NODE, laid out as the platform lays it out (32 bytes): KSPROPERTY {Set, Id, Flags}, NodeId,
// Reserved.
struct KspNode {
  text::Guid set;
  uint32_t id = 0;
  uint32_t flags = 0;
  uint32_t node_id = 0;
  uint32_t reserved = 0;
};
static_assert(sizeof(KspNode) == 32, "KSP_NODE is 32 bytes");

// IKsControl (only KsProperty is used).
class KsControl {
 public:
  virtual ~KsControl() = default;
  // `property_length` is the size the caller passes for the property (32 for a KSP_NODE); `data` may be
  // null with `data_length` 0. `bytes_returned` may be null.
  virtual HRESULT KsProperty(const KspNode& property, uint32_t property_length, void* data,
                             uint32_t data_length, uint32_t* bytes_returned) = 0;
  // False where the platform's UVC driver answers a read that moved no data as a full read, the
  // buffer holding what the driver filled it with: such a read cannot be told from a good one.
  virtual bool ReportsEmptyReads() const { return true; }
};

// IKsTopologyInfo.
class KsTopologyInfo {
 public:
  virtual ~KsTopologyInfo() = default;
  virtual HRESULT GetNumNodes(uint32_t& count) = 0;
  virtual HRESULT GetNodeType(uint32_t node, text::Guid& type) = 0;
  // CreateNodeInstance with IID_IKsControl.
  virtual HRESULT CreateNodeInstance(uint32_t node, std::unique_ptr<KsControl>& control) = 0;
};

// IBaseFilter of a video input device, with the two interfaces the camera side queries it for.
class VideoFilter {
 public:
  virtual ~VideoFilter() = default;
  // QueryInterface(IID_IKsControl).
  virtual HRESULT QueryKsControl(std::unique_ptr<KsControl>& control) = 0;
  // QueryInterface(IID_IKsTopologyInfo).
  virtual HRESULT QueryTopologyInfo(std::unique_ptr<KsTopologyInfo>& topology) = 0;
};

// IPropertyBag of a device moniker.
class PropertyBag {
 public:
  virtual ~PropertyBag() = default;
  // IPropertyBag::Read into a variant initialised as VT_BSTR, then VariantChangeType to VT_BSTR;
  // returns Read's result, with the text in `value` when it is S_OK.
  virtual HRESULT Read(const wchar_t* name, std::wstring& value) = 0;
};

// IMoniker of one video input device.
class DeviceMoniker {
 public:
  virtual ~DeviceMoniker() = default;
  // BindToStorage(no bind context, no left moniker, IID_IPropertyBag).
  virtual HRESULT BindToStorage(std::unique_ptr<PropertyBag>& bag) = 0;
  // BindToObject(no bind context, no left moniker, IID_IBaseFilter).
  virtual HRESULT BindToObject(std::unique_ptr<VideoFilter>& filter) = 0;
};

// IEnumMoniker over the video input category.
class MonikerEnumerator {
 public:
  virtual ~MonikerEnumerator() = default;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Skip(uint32_t count) = 0;
  // Next for one moniker: S_OK with `moniker` set, S_FALSE at the end, or an error.
  virtual HRESULT Next(std::unique_ptr<DeviceMoniker>& moniker) = 0;
};

// The port: the system device enumerator.
class VideoInputs {
 public:
  virtual ~VideoInputs() = default;
  // CoCreateInstance(CLSID_SystemDeviceEnum, no outer, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum) and
  // ICreateDevEnum::CreateClassEnumerator(CLSID_VideoInputDeviceCategory, flags 0). Returns the
  // failure of the first call, or the result of the second (S_FALSE: the category is empty and no
  // enumerator is made).
  virtual HRESULT CreateVideoInputEnumerator(std::unique_ptr<MonikerEnumerator>& enumerator) = 0;
};

}  // namespace fcp::os
