// fcp-virtual-camera.dll: the virtual workstation's video inputs served to the platform as DirectShow
// capture filters. The filter is a COM face of the workstation's video-input view: its kernel-streaming
// topology and property requests are the view's, so every extension-unit request reaches the chip
// model through Workstation::ControlTransfer (faults, latency and the wire trace apply).
// The workstation's headers come first: the COM headers define `interface` as a macro.
#include "os/video_inputs.h"
#include "sim/dshow_camera/scenario_win32.h"
#include "sim/windows/windows_views.h"

#include <windows.h>
#include <dshow.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "os/win32/kernel_streaming_win32.h"
#include "sim/dshow_camera/virtual_camera.h"

namespace fcp::sim::dshow {
namespace {

using os::win32::IKsTopologyInfo;
using os::win32::kIidIKsControl;
using os::win32::kIidIKsTopologyInfo;

// A scenario's workstation and its views, loaded once per process and kept: filters bound later in
// the same process see the chips as earlier requests left them.
struct LoadedScenario {
  std::shared_ptr<Workstation> workstation;
  std::unique_ptr<windows::WindowsViews> views;
};

std::shared_ptr<LoadedScenario> Scenario(const std::wstring& path) {
  static std::mutex mutex;
  static std::map<std::wstring, std::shared_ptr<LoadedScenario>> loaded;
  std::lock_guard<std::mutex> lock(mutex);
  if (const auto it = loaded.find(path); it != loaded.end()) return it->second;
  ScenarioLoad load = LoadScenarioFileW(path);
  if (!load.workstation) {
    std::fprintf(stderr, "virtual camera: %s\n", load.error.c_str());
    return nullptr;
  }
  auto scenario = std::make_shared<LoadedScenario>();
  scenario->workstation = std::move(load.workstation);
  scenario->views = std::make_unique<windows::WindowsViews>(scenario->workstation);
  loaded.emplace(path, scenario);
  return scenario;
}

HRESULT ReadText(IPropertyBag* bag, const wchar_t* name, std::wstring& text) {
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = nullptr;
  const HRESULT result = bag->Read(name, &value, nullptr);
  if (result != S_OK) return FAILED(result) ? result : E_FAIL;
  const bool is_text = value.vt == VT_BSTR && value.bstrVal != nullptr;
  if (is_text) text.assign(value.bstrVal, SysStringLen(value.bstrVal));
  VariantClear(&value);
  return is_text ? S_OK : DISP_E_TYPEMISMATCH;
}

// The view's filter of the camera whose device path is `device_path`.
HRESULT BindCamera(windows::WindowsViews& views, const std::wstring& device_path,
                   std::unique_ptr<os::VideoFilter>& filter) {
  std::unique_ptr<os::MonikerEnumerator> cameras;
  if (views.VideoInputs().CreateVideoInputEnumerator(cameras) != S_OK) return VFW_E_NOT_FOUND;
  std::unique_ptr<os::DeviceMoniker> moniker;
  while (cameras->Next(moniker) == S_OK) {
    std::unique_ptr<os::PropertyBag> bag;
    std::wstring path;
    if (moniker->BindToStorage(bag) == S_OK && bag->Read(kDevicePathProperty, path) == S_OK && path == device_path) {
      return moniker->BindToObject(filter);
    }
  }
  return VFW_E_NOT_FOUND;
}

// The request as the caller laid it out; a shorter one leaves the rest zero (the view refuses it).
os::KspNode NodeOf(const KSPROPERTY* property, ULONG length) {
  KSP_NODE platform{};
  std::memcpy(&platform, property, std::min<size_t>(length, sizeof platform));
  os::KspNode node;
  node.set = os::win32::FromPlatform(platform.Property.Set);
  node.id = platform.Property.Id;
  node.flags = platform.Property.Flags;
  node.node_id = platform.NodeId;
  node.reserved = platform.Reserved;
  return node;
}

// IKsControl::KsProperty on the view's control.
HRESULT ForwardProperty(os::KsControl& control, const KSPROPERTY* property, ULONG property_length, void* data,
                        ULONG data_length, ULONG* bytes_returned) {
  if (property == nullptr) return E_POINTER;
  uint32_t returned = 0;
  const HRESULT result = control.KsProperty(NodeOf(property, property_length), property_length, data, data_length, &returned);
  if (bytes_returned != nullptr) *bytes_returned = returned;
  return result;
}

// The reference count that every interface of an object shares.
class Counted {
 protected:
  Counted() = default;
  virtual ~Counted() = default;
  ULONG AddReference() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
  ULONG ReleaseReference() {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 private:
  LONG references_ = 1;
};

// IKsControl of one topology node (CreateNodeInstance).
class NodeControl final : public IKsControl, private Counted {
 public:
  NodeControl(std::shared_ptr<LoadedScenario> scenario, std::unique_ptr<os::KsControl> control)
      : scenario_(std::move(scenario)), control_(std::move(control)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != kIidIKsControl) return E_NOINTERFACE;
    *object = static_cast<IKsControl*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseReference(); }

  HRESULT STDMETHODCALLTYPE KsProperty(PKSPROPERTY property, ULONG property_length, void* data, ULONG data_length,
                                       ULONG* bytes_returned) override {
    return ForwardProperty(*control_, property, property_length, data, data_length, bytes_returned);
  }
  HRESULT STDMETHODCALLTYPE KsMethod(PKSMETHOD, ULONG, void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE KsEvent(PKSEVENT, ULONG, void*, ULONG, ULONG*) override { return E_NOTIMPL; }

 private:
  std::shared_ptr<LoadedScenario> scenario_;  // keeps the workstation behind the control alive
  std::unique_ptr<os::KsControl> control_;
};

// The capture filter of one camera. Until IPersistPropertyBag::Load has found its camera, and for a
// camera without kernel-streaming interfaces, it answers no kernel-streaming interface.
class CameraFilter final : public IBaseFilter, public IPersistPropertyBag, public IKsControl, public IKsTopologyInfo,
                           private Counted {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IPersist || iid == IID_IMediaFilter || iid == IID_IBaseFilter) {
      *object = static_cast<IBaseFilter*>(this);
    } else if (iid == IID_IPersistPropertyBag) {
      *object = static_cast<IPersistPropertyBag*>(this);
    } else if (iid == kIidIKsControl && control_) {
      *object = static_cast<IKsControl*>(this);
    } else if (iid == kIidIKsTopologyInfo && topology_) {
      *object = static_cast<IKsTopologyInfo*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseReference(); }

  // IPersist
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override {
    if (clsid == nullptr) return E_POINTER;
    *clsid = kVirtualCameraClsid;
    return S_OK;
  }

  // IMediaFilter: a camera without pins only keeps its state.
  HRESULT STDMETHODCALLTYPE Stop() override { return SetState(State_Stopped); }
  HRESULT STDMETHODCALLTYPE Pause() override { return SetState(State_Paused); }
  HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME) override { return SetState(State_Running); }
  HRESULT STDMETHODCALLTYPE GetState(DWORD, FILTER_STATE* state) override {
    if (state == nullptr) return E_POINTER;
    *state = static_cast<FILTER_STATE>(InterlockedCompareExchange(&state_, 0, 0));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** clock) override {
    if (clock == nullptr) return E_POINTER;
    *clock = nullptr;
    return S_OK;
  }

  // IBaseFilter
  HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** pins) override {
    if (pins != nullptr) *pins = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR, IPin** pin) override {
    if (pin != nullptr) *pin = nullptr;
    return VFW_E_NOT_FOUND;
  }
  HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* info) override {
    if (info == nullptr) return E_POINTER;
    *info = FILTER_INFO{};
    const size_t length = std::min(name_.size(), std::size(info->achName) - 1);
    std::copy_n(name_.c_str(), length, info->achName);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph*, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR* info) override {
    if (info != nullptr) *info = nullptr;
    return E_NOTIMPL;
  }

  // IPersistPropertyBag: the moniker's properties name the scenario and the camera in it.
  HRESULT STDMETHODCALLTYPE InitNew() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Load(IPropertyBag* bag, IErrorLog*) override {
    if (bag == nullptr) return E_POINTER;
    if (scenario_) return E_UNEXPECTED;  // loaded once
    std::wstring scenario_path, device_path;
    HRESULT result = ReadText(bag, kScenarioProperty, scenario_path);
    if (FAILED(result)) return result;
    result = ReadText(bag, kDevicePathProperty, device_path);
    if (FAILED(result)) return result;
    ReadText(bag, kFriendlyNameProperty, name_);  // the filter's name only
    std::shared_ptr<LoadedScenario> scenario = Scenario(scenario_path);
    if (!scenario) return E_FAIL;
    std::unique_ptr<os::VideoFilter> filter;
    result = BindCamera(*scenario->views, device_path, filter);
    if (FAILED(result)) return result;
    if (FAILED(filter->QueryKsControl(control_))) control_.reset();
    if (FAILED(filter->QueryTopologyInfo(topology_))) topology_.reset();
    scenario_ = std::move(scenario);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Save(IPropertyBag*, BOOL, BOOL) override { return E_NOTIMPL; }

  // IKsControl of the filter.
  HRESULT STDMETHODCALLTYPE KsProperty(PKSPROPERTY property, ULONG property_length, void* data, ULONG data_length,
                                       ULONG* bytes_returned) override {
    return ForwardProperty(*control_, property, property_length, data, data_length, bytes_returned);
  }
  HRESULT STDMETHODCALLTYPE KsMethod(PKSMETHOD, ULONG, void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE KsEvent(PKSEVENT, ULONG, void*, ULONG, ULONG*) override { return E_NOTIMPL; }

  // IKsTopologyInfo: the nodes of the camera's video-control interface.
  HRESULT STDMETHODCALLTYPE get_NumCategories(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Category(DWORD, GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_NumConnections(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ConnectionInfo(DWORD, KSTOPOLOGY_CONNECTION*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_NodeName(DWORD, WCHAR*, DWORD, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_NumNodes(DWORD* count) override {
    if (count == nullptr) return E_POINTER;
    uint32_t nodes = 0;
    const HRESULT result = topology_->GetNumNodes(nodes);
    *count = nodes;
    return result;
  }
  HRESULT STDMETHODCALLTYPE get_NodeType(DWORD node, GUID* type) override {
    if (type == nullptr) return E_POINTER;
    text::Guid node_type;
    const HRESULT result = topology_->GetNodeType(node, node_type);
    *type = os::win32::ToPlatform(node_type);
    return result;
  }
  HRESULT STDMETHODCALLTYPE CreateNodeInstance(DWORD node, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid != kIidIKsControl) return E_NOINTERFACE;
    std::unique_ptr<os::KsControl> control;
    const HRESULT result = topology_->CreateNodeInstance(node, control);
    if (FAILED(result)) return result;
    if (!control) return E_FAIL;
    *object = static_cast<IKsControl*>(new NodeControl(scenario_, std::move(control)));
    return result;
  }

 private:
  HRESULT SetState(FILTER_STATE state) {
    InterlockedExchange(&state_, state);
    return S_OK;
  }

  std::wstring name_;
  std::shared_ptr<LoadedScenario> scenario_;
  std::unique_ptr<os::KsControl> control_;
  std::unique_ptr<os::KsTopologyInfo> topology_;
  LONG state_ = State_Stopped;
};

class CameraFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
    *object = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  // One static instance: its references do not count.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* filter = new (std::nothrow) CameraFilter;
    if (filter == nullptr) return E_OUTOFMEMORY;
    const HRESULT result = filter->QueryInterface(iid, object);
    filter->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

CameraFactory g_factory;

}  // namespace
}  // namespace fcp::sim::dshow

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (clsid != fcp::sim::dshow::kVirtualCameraClsid) return CLASS_E_CLASSNOTAVAILABLE;
  return fcp::sim::dshow::g_factory.QueryInterface(iid, object);
}

// The loaded workstations live as long as the process: the module stays.
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }
