// Small in-test stand-ins for the video-input and registry ports: cameras whose every open step can
// be made to fail, an extension unit that answers the VCMD commands from a status block and a memory
// map, and an in-memory registry. Each request to the unit is logged for byte-exact comparison.
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/device_registry.h"
#include "os/port.h"
#include "os/video_inputs.h"
#include "uvc/vcmd.h"

namespace fcp::uvc::test {

using Block = std::array<uint8_t, 8>;

struct UnitRequest {
  uint32_t node = 0;
  uint32_t control = 0;
  uint32_t flags = 0;
  Block data{};  // written bytes for a set, returned bytes for a get
  friend bool operator==(const UnitRequest&, const UnitRequest&) = default;
};

struct FakeNode {
  text::Guid type = os::kKsNodeTypeDevSpecific;
  text::Guid unit_set = kExtensionUnitGuid;  // the property set the node answers the support query for
  HRESULT create = S_OK;
  HRESULT type_result = S_OK;
};

struct FakeCamera {
  std::wstring device_path;
  std::wstring friendly_name = L"USB Camera";
  HRESULT bind_to_storage = S_OK;
  HRESULT read_path = S_OK;
  HRESULT read_name = S_OK;
  HRESULT bind_to_object = S_OK;
  HRESULT query_ks_control = S_OK;
  HRESULT query_topology = S_OK;
  HRESULT num_nodes = S_OK;
  std::vector<FakeNode> nodes{FakeNode{}};
  Block signature = kVendorSignature;
  std::array<uint8_t, 128> status{};
  std::map<uint32_t, uint8_t> memory;
  Block status_reply = {0xFE, 0, 0, 0, 0, 0, 0, 0};
  // Fail the n-th (0-based) set/get request to the unit of each open with `fail_with`.
  std::optional<size_t> fail_request;
  HRESULT fail_with = E_FAIL;

  // Run-time state of the unit.
  std::vector<uint8_t> pending_data;
  size_t requests = 0;
};

class FakeVideoInputs : public os::VideoInputs {
 public:
  HRESULT create_result = S_OK;
  std::deque<FakeCamera> cameras;  // a deque: references stay valid as cameras are added
  std::vector<UnitRequest> log;  // set/get requests to units, in order
  int support_queries = 0;

  HRESULT CreateVideoInputEnumerator(std::unique_ptr<os::MonikerEnumerator>& enumerator) override;
};

class FakeRegistry : public os::DeviceRegistry {
 public:
  // key path (as passed, below the root) -> value name -> bytes
  std::map<std::wstring, std::map<std::wstring, std::vector<uint8_t>>> keys;
  int open_keys = 0;

  void SetString(const std::wstring& key, const std::wstring& name, const std::wstring& text);
  void SetMultiString(const std::wstring& key, const std::wstring& name, const std::vector<std::wstring>& texts);
  void SetDword(const std::wstring& key, const std::wstring& name, uint32_t value);

  LONG OpenKey(os::RegistryRoot root, const wchar_t* sub_key, uint32_t options, uint32_t access,
               os::RegistryKey& key) override;
  LONG QueryValue(os::RegistryKey key, const wchar_t* name, uint32_t* type, uint8_t* data, uint32_t& size) override;
  LONG CloseKey(os::RegistryKey key) override;

 private:
  std::vector<const std::map<std::wstring, std::vector<uint8_t>>*> handles_;
};

// UTF-16LE bytes of a text, with or without its terminating NUL.
std::vector<uint8_t> Utf16Bytes(const std::wstring& text, bool terminate = true);

// A device path of the platform's usual form.
std::wstring UsbDevicePath(uint16_t vid, uint16_t pid, int interface, const std::wstring& instance);

// Both fakes installed for a test's life.
struct FakePorts {
  FakeVideoInputs video_inputs;
  FakeRegistry registry;
  os::ScopedPort<os::VideoInputs> video_port{&video_inputs};
  os::ScopedPort<os::DeviceRegistry> registry_port{&registry};

  // Adds a camera and its registry key with "LocationInformation" and "HardwareID".
  FakeCamera& AddCamera(uint16_t vid, uint16_t pid, int interface, const std::wstring& instance,
                        const std::wstring& location, const std::wstring& revision = L"0100");
};

}  // namespace fcp::uvc::test
