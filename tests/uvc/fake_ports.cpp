#include "fake_ports.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "text/ascii_case.h"

namespace fcp::uvc::test {
namespace {

// The unit's control interface (the filter's, or a node instance's).
class FakeKsControl : public os::KsControl {
 public:
  FakeKsControl(FakeVideoInputs& owner, FakeCamera& camera) : owner_(owner), camera_(camera) {}

  HRESULT KsProperty(const os::KspNode& property, uint32_t property_length, void* data, uint32_t data_length,
                     uint32_t* bytes_returned) override {
    if (property_length != sizeof(os::KspNode) || property.reserved != 0) return E_INVALIDARG;
    if ((property.flags & os::kKsPropertyTypeSetSupport) != 0) {
      ++owner_.support_queries;
      if (property.node_id >= camera_.nodes.size()) return E_INVALIDARG;
      const FakeNode& node = camera_.nodes[property.node_id];
      return node.unit_set == property.set && property.id == kCommandControl ? S_OK : E_NOTIMPL_;
    }
    if (property.set != kExtensionUnitGuid || data_length != 8 || data == nullptr) return E_INVALIDARG;
    UnitRequest request{property.node_id, property.id, property.flags, {}};
    const size_t index = camera_.requests++;
    if (camera_.fail_request && *camera_.fail_request == index) {
      if ((property.flags & os::kKsPropertyTypeSet) != 0) std::memcpy(request.data.data(), data, 8);
      owner_.log.push_back(request);
      return camera_.fail_with;
    }
    auto* bytes = static_cast<uint8_t*>(data);
    if ((property.flags & os::kKsPropertyTypeSet) != 0) {
      std::memcpy(request.data.data(), bytes, 8);
      Execute(request.data);
    } else if (property.id == kCommandControl) {
      std::memcpy(bytes, camera_.status_reply.data(), 8);
    } else {
      std::fill_n(bytes, 8, 0);
      const size_t n = std::min<size_t>(8, camera_.pending_data.size());
      std::copy_n(camera_.pending_data.begin(), n, bytes);
      camera_.pending_data.erase(camera_.pending_data.begin(), camera_.pending_data.begin() + static_cast<long>(n));
    }
    if ((property.flags & os::kKsPropertyTypeGet) != 0) std::memcpy(request.data.data(), bytes, 8);
    if (bytes_returned != nullptr) *bytes_returned = 8;
    owner_.log.push_back(request);
    return S_OK;
  }

 private:
  static constexpr HRESULT E_NOTIMPL_ = static_cast<HRESULT>(0x80004001u);

  void Execute(const Block& block) {
    camera_.pending_data.clear();
    const uint32_t address = uint32_t(block[2]) | uint32_t(block[3]) << 8 | uint32_t(block[6]) << 16 |
                             uint32_t(block[7]) << 24;
    const uint32_t length = uint32_t(block[4]) | uint32_t(block[5]) << 8;
    if (block[0] != 0) return;  // abort
    switch (block[1]) {
      case kCmdQualify:
        camera_.pending_data.assign(camera_.signature.begin(), camera_.signature.end());
        break;
      case kCmdStatusPiece:
        if (address < 16) {
          camera_.pending_data.assign(camera_.status.begin() + address * 8, camera_.status.begin() + address * 8 + 8);
        }
        break;
      case kCmdReadMemory:
        for (uint32_t i = 0; i < length; ++i) {
          auto it = camera_.memory.find(address + i);
          camera_.pending_data.push_back(it == camera_.memory.end() ? 0 : it->second);
        }
        break;
      default:
        break;
    }
  }

  FakeVideoInputs& owner_;
  FakeCamera& camera_;
};

class FakeTopology : public os::KsTopologyInfo {
 public:
  FakeTopology(FakeVideoInputs& owner, FakeCamera& camera) : owner_(owner), camera_(camera) {}
  HRESULT GetNumNodes(uint32_t& count) override {
    count = static_cast<uint32_t>(camera_.nodes.size());
    return camera_.num_nodes;
  }
  HRESULT GetNodeType(uint32_t node, text::Guid& type) override {
    if (node >= camera_.nodes.size()) return E_INVALIDARG;
    type = camera_.nodes[node].type;
    return camera_.nodes[node].type_result;
  }
  HRESULT CreateNodeInstance(uint32_t node, std::unique_ptr<os::KsControl>& control) override {
    if (node >= camera_.nodes.size()) return E_INVALIDARG;
    if (FAILED(camera_.nodes[node].create)) return camera_.nodes[node].create;
    control = std::make_unique<FakeKsControl>(owner_, camera_);
    return S_OK;
  }

 private:
  FakeVideoInputs& owner_;
  FakeCamera& camera_;
};

class FakeFilter : public os::VideoFilter {
 public:
  FakeFilter(FakeVideoInputs& owner, FakeCamera& camera) : owner_(owner), camera_(camera) {}
  HRESULT QueryKsControl(std::unique_ptr<os::KsControl>& control) override {
    if (FAILED(camera_.query_ks_control)) return camera_.query_ks_control;
    control = std::make_unique<FakeKsControl>(owner_, camera_);
    return S_OK;
  }
  HRESULT QueryTopologyInfo(std::unique_ptr<os::KsTopologyInfo>& topology) override {
    if (FAILED(camera_.query_topology)) return camera_.query_topology;
    topology = std::make_unique<FakeTopology>(owner_, camera_);
    return S_OK;
  }

 private:
  FakeVideoInputs& owner_;
  FakeCamera& camera_;
};

class FakeBag : public os::PropertyBag {
 public:
  explicit FakeBag(FakeCamera& camera) : camera_(camera) {}
  HRESULT Read(const wchar_t* name, std::wstring& value) override {
    const std::wstring key = name;
    if (key == L"DevicePath") {
      if (camera_.read_path == S_OK) value = camera_.device_path;
      return camera_.read_path;
    }
    if (key == L"FriendlyName") {
      if (camera_.read_name == S_OK) value = camera_.friendly_name;
      return camera_.read_name;
    }
    return E_INVALIDARG;
  }

 private:
  FakeCamera& camera_;
};

class FakeMoniker : public os::DeviceMoniker {
 public:
  FakeMoniker(FakeVideoInputs& owner, FakeCamera& camera) : owner_(owner), camera_(camera) {}
  HRESULT BindToStorage(std::unique_ptr<os::PropertyBag>& bag) override {
    if (camera_.bind_to_storage == S_OK) bag = std::make_unique<FakeBag>(camera_);
    return camera_.bind_to_storage;
  }
  HRESULT BindToObject(std::unique_ptr<os::VideoFilter>& filter) override {
    camera_.requests = 0;  // requests are counted per open
    if (SUCCEEDED(camera_.bind_to_object)) filter = std::make_unique<FakeFilter>(owner_, camera_);
    return camera_.bind_to_object;
  }

 private:
  FakeVideoInputs& owner_;
  FakeCamera& camera_;
};

class FakeEnumerator : public os::MonikerEnumerator {
 public:
  explicit FakeEnumerator(FakeVideoInputs& owner) : owner_(owner) {}
  HRESULT Reset() override {
    next_ = 0;
    return S_OK;
  }
  HRESULT Skip(uint32_t count) override {
    const size_t left = owner_.cameras.size() - next_;
    next_ += std::min<size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT Next(std::unique_ptr<os::DeviceMoniker>& moniker) override {
    if (next_ >= owner_.cameras.size()) return S_FALSE;
    moniker = std::make_unique<FakeMoniker>(owner_, owner_.cameras[next_++]);
    return S_OK;
  }

 private:
  FakeVideoInputs& owner_;
  size_t next_ = 0;
};

}  // namespace

HRESULT FakeVideoInputs::CreateVideoInputEnumerator(std::unique_ptr<os::MonikerEnumerator>& enumerator) {
  if (create_result == S_OK) enumerator = std::make_unique<FakeEnumerator>(*this);
  return create_result;
}

std::vector<uint8_t> Utf16Bytes(const std::wstring& text, bool terminate) {
  std::vector<uint8_t> bytes;
  for (wchar_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(static_cast<uint32_t>(c) >> 8));
  }
  if (terminate) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

void FakeRegistry::SetString(const std::wstring& key, const std::wstring& name, const std::wstring& text) {
  keys[key][name] = Utf16Bytes(text);
}

void FakeRegistry::SetMultiString(const std::wstring& key, const std::wstring& name,
                                  const std::vector<std::wstring>& texts) {
  std::vector<uint8_t> bytes;
  for (const auto& text : texts) {
    auto one = Utf16Bytes(text);
    bytes.insert(bytes.end(), one.begin(), one.end());
  }
  bytes.insert(bytes.end(), {0, 0});
  keys[key][name] = bytes;
}

void FakeRegistry::SetDword(const std::wstring& key, const std::wstring& name, uint32_t value) {
  keys[key][name] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                     static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

LONG FakeRegistry::OpenKey(os::RegistryRoot root, const wchar_t* sub_key, uint32_t options, uint32_t access,
                           os::RegistryKey& key) {
  if (root != os::RegistryRoot::kLocalMachine || options != 0 || access != os::kRegistryKeyRead) {
    return ERROR_INVALID_PARAMETER;
  }
  // Key names ignore case, as the platform's do.
  std::wstring wanted = sub_key;
  for (const auto& [path, values] : keys) {
    if (text::EqualsIgnoringCase(path, wanted)) {
      handles_.push_back(&values);
      key = handles_.size();
      ++open_keys;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

LONG FakeRegistry::QueryValue(os::RegistryKey key, const wchar_t* name, uint32_t* type, uint8_t* data,
                              uint32_t& size) {
  if (key == 0 || key > handles_.size() || handles_[key - 1] == nullptr) return ERROR_INVALID_PARAMETER;
  const auto& values = *handles_[key - 1];
  const auto it = values.find(name);
  if (it == values.end()) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = os::kRegSz;
  const uint32_t needed = static_cast<uint32_t>(it->second.size());
  if (data != nullptr && needed > size) {
    size = needed;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr) std::copy(it->second.begin(), it->second.end(), data);
  size = needed;
  return ERROR_SUCCESS;
}

LONG FakeRegistry::CloseKey(os::RegistryKey key) {
  if (key == 0 || key > handles_.size() || handles_[key - 1] == nullptr) return ERROR_INVALID_PARAMETER;
  handles_[key - 1] = nullptr;
  --open_keys;
  return ERROR_SUCCESS;
}

std::wstring UsbDevicePath(uint16_t vid, uint16_t pid, int interface, const std::wstring& instance) {
  wchar_t text[160];
  std::swprintf(text, std::size(text), L"\\\\?\\usb#vid_%04x&pid_%04x&mi_%02d#%ls#{e5323777-f976-4f5b-9b55-b94699c46e44}\\global",
                vid, pid, interface, instance.c_str());
  return text;
}

FakeCamera& FakePorts::AddCamera(uint16_t vid, uint16_t pid, int interface, const std::wstring& instance,
                                 const std::wstring& location, const std::wstring& revision) {
  FakeCamera camera;
  camera.device_path = UsbDevicePath(vid, pid, interface, instance);
  wchar_t id[96];
  std::swprintf(id, std::size(id), L"SYSTEM\\ControlSet001\\Enum\\usb\\vid_%04x&pid_%04x&mi_%02d\\%ls", vid, pid,
                interface, instance.c_str());
  registry.SetString(id, L"LocationInformation", L"Port_#0003.Hub_#0001." + location);
  wchar_t hardware_id[64];
  std::swprintf(hardware_id, std::size(hardware_id), L"USB\\VID_%04X&PID_%04X&REV_%ls&MI_%02d", vid, pid,
                revision.c_str(), interface);
  registry.SetMultiString(id, L"HardwareID", {hardware_id, hardware_id});
  video_inputs.cameras.push_back(camera);
  return video_inputs.cameras.back();
}

}  // namespace fcp::uvc::test
