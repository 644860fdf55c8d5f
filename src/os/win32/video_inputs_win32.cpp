// DirectShow device enumeration, moniker properties, filter binding and kernel-streaming topology and
// properties, translated one to one into the video-input port.
#include "os/win32/video_inputs_win32.h"

#include <windows.h>
#include <dshow.h>
#include <oleauto.h>

#include <cstring>

#include "os/win32/com_ptr.h"
#include "os/win32/guid_win32.h"
#include "os/win32/kernel_streaming_win32.h"

namespace fcp::os::win32 {
namespace {

constexpr GUID kClsidSystemDeviceEnum = {0x62BE5D10, 0x60EB, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr GUID kIidICreateDevEnum = {0x29840822, 0x5B84, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr GUID kClsidVideoInputDeviceCategory = {0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr GUID kIidIPropertyBag = {0x55272A00, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
constexpr GUID kIidIBaseFilter = {0x56A86895, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};

class Win32KsControl : public KsControl {
 public:
  explicit Win32KsControl(ComPtr<IKsControl> control) : control_(std::move(control)) {}
  HRESULT KsProperty(const KspNode& property, uint32_t property_length, void* data, uint32_t data_length,
                     uint32_t* bytes_returned) override {
    KSP_NODE node{};
    node.Property.Set = ToPlatform(property.set);
    node.Property.Id = property.id;
    node.Property.Flags = property.flags;
    node.NodeId = property.node_id;
    node.Reserved = property.reserved;
    ULONG returned = 0;
    const HRESULT result =
        control_->KsProperty(reinterpret_cast<PKSPROPERTY>(&node), property_length, data, data_length, &returned);
    if (bytes_returned != nullptr) *bytes_returned = returned;
    return result;
  }

 private:
  ComPtr<IKsControl> control_;
};
static_assert(sizeof(KSP_NODE) == sizeof(KspNode));

class Win32Topology : public KsTopologyInfo {
 public:
  explicit Win32Topology(ComPtr<IKsTopologyInfo> topology) : topology_(std::move(topology)) {}
  HRESULT GetNumNodes(uint32_t& count) override {
    DWORD nodes = 0;
    const HRESULT result = topology_->get_NumNodes(&nodes);
    count = nodes;
    return result;
  }
  HRESULT GetNodeType(uint32_t node, text::Guid& type) override {
    GUID platform_type{};
    const HRESULT result = topology_->get_NodeType(node, &platform_type);
    type = FromPlatform(platform_type);
    return result;
  }
  HRESULT CreateNodeInstance(uint32_t node, std::unique_ptr<KsControl>& control) override {
    ComPtr<IKsControl> node_control;
    const HRESULT result = topology_->CreateNodeInstance(node, kIidIKsControl, node_control.PutVoid());
    if (SUCCEEDED(result) && node_control) control = std::make_unique<Win32KsControl>(std::move(node_control));
    return result;
  }

 private:
  ComPtr<IKsTopologyInfo> topology_;
};

class Win32Filter : public VideoFilter {
 public:
  explicit Win32Filter(ComPtr<IBaseFilter> filter) : filter_(std::move(filter)) {}
  HRESULT QueryKsControl(std::unique_ptr<KsControl>& control) override {
    ComPtr<IKsControl> ks_control;
    const HRESULT result = filter_->QueryInterface(kIidIKsControl, ks_control.PutVoid());
    if (SUCCEEDED(result) && ks_control) control = std::make_unique<Win32KsControl>(std::move(ks_control));
    return result;
  }
  HRESULT QueryTopologyInfo(std::unique_ptr<KsTopologyInfo>& topology) override {
    ComPtr<IKsTopologyInfo> info;
    const HRESULT result = filter_->QueryInterface(kIidIKsTopologyInfo, info.PutVoid());
    if (SUCCEEDED(result) && info) topology = std::make_unique<Win32Topology>(std::move(info));
    return result;
  }

 private:
  ComPtr<IBaseFilter> filter_;
};

class Win32PropertyBag : public PropertyBag {
 public:
  explicit Win32PropertyBag(ComPtr<IPropertyBag> bag) : bag_(std::move(bag)) {}
  HRESULT Read(const wchar_t* name, std::wstring& value) override {
    // A failed read (a software camera has no "DevicePath") leaves the variant as it was, so the
    // string pointer starts null and only a successful read is cleared.
    VARIANT variant;
    VariantInit(&variant);
    variant.vt = VT_BSTR;
    variant.bstrVal = nullptr;
    const HRESULT result = bag_->Read(name, &variant, nullptr);
    if (result == S_OK) {
      VariantChangeType(&variant, &variant, 0, VT_BSTR);
      value.assign(variant.vt == VT_BSTR && variant.bstrVal != nullptr ? variant.bstrVal : L"");
      VariantClear(&variant);
    }
    return result;
  }

 private:
  ComPtr<IPropertyBag> bag_;
};

class Win32Moniker : public DeviceMoniker {
 public:
  explicit Win32Moniker(ComPtr<IMoniker> moniker) : moniker_(std::move(moniker)) {}
  HRESULT BindToStorage(std::unique_ptr<PropertyBag>& bag) override {
    ComPtr<IPropertyBag> property_bag;
    const HRESULT result = moniker_->BindToStorage(nullptr, nullptr, kIidIPropertyBag, property_bag.PutVoid());
    if (SUCCEEDED(result) && property_bag) bag = std::make_unique<Win32PropertyBag>(std::move(property_bag));
    return result;
  }
  HRESULT BindToObject(std::unique_ptr<VideoFilter>& filter) override {
    ComPtr<IBaseFilter> base_filter;
    const HRESULT result = moniker_->BindToObject(nullptr, nullptr, kIidIBaseFilter, base_filter.PutVoid());
    if (SUCCEEDED(result) && base_filter) filter = std::make_unique<Win32Filter>(std::move(base_filter));
    return result;
  }

 private:
  ComPtr<IMoniker> moniker_;
};

class Win32MonikerEnumerator : public MonikerEnumerator {
 public:
  explicit Win32MonikerEnumerator(ComPtr<IEnumMoniker> enumerator) : enumerator_(std::move(enumerator)) {}
  HRESULT Reset() override { return enumerator_->Reset(); }
  HRESULT Skip(uint32_t count) override { return enumerator_->Skip(count); }
  HRESULT Next(std::unique_ptr<DeviceMoniker>& moniker) override {
    ComPtr<IMoniker> next;
    const HRESULT result = enumerator_->Next(1, next.Put(), nullptr);
    if (result == S_OK && next) moniker = std::make_unique<Win32Moniker>(std::move(next));
    return result;
  }

 private:
  ComPtr<IEnumMoniker> enumerator_;
};

class Win32VideoInputs : public VideoInputs {
 public:
  HRESULT CreateVideoInputEnumerator(std::unique_ptr<MonikerEnumerator>& enumerator) override {
    ComPtr<ICreateDevEnum> device_enumerator;
    HRESULT result = CoCreateInstance(kClsidSystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, kIidICreateDevEnum,
                                      device_enumerator.PutVoid());
    if (FAILED(result)) return result;
    ComPtr<IEnumMoniker> monikers;
    result = device_enumerator->CreateClassEnumerator(kClsidVideoInputDeviceCategory, monikers.Put(), 0);
    if (result == S_OK && monikers) enumerator = std::make_unique<Win32MonikerEnumerator>(std::move(monikers));
    return result;
  }
};

}  // namespace

VideoInputs& DirectShowVideoInputs() {
  static Win32VideoInputs instance;
  return instance;
}

}  // namespace fcp::os::win32
