// An in-memory registry behind the registry port: keys and values as the platform stores them (key
// and value names without regard to case, values as typed bytes), filled from the virtual
// workstation's devices.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "os/device_registry.h"

namespace fcp::sim::windows {

class RegistryView : public os::DeviceRegistry {
 public:
  // Setting a value creates its key and the key's parents.
  void SetValue(const std::wstring& key, const std::wstring& name, uint32_t type, std::vector<uint8_t> data);
  void SetString(const std::wstring& key, const std::wstring& name, const std::wstring& text);
  void SetMultiString(const std::wstring& key, const std::wstring& name, const std::vector<std::wstring>& texts);
  void SetDword(const std::wstring& key, const std::wstring& name, uint32_t value);
  void CreateKey(const std::wstring& key);
  void DeleteValue(const std::wstring& key, const std::wstring& name);
  // Removes a key with its subkeys and values.
  void DeleteKey(const std::wstring& key);
  bool HasKey(const std::wstring& key) const;
  // Keys opened and not yet closed.
  size_t OpenKeys() const;

  LONG OpenKey(os::RegistryRoot root, const wchar_t* sub_key, uint32_t options, uint32_t access,
               os::RegistryKey& key) override;
  LONG QueryValue(os::RegistryKey key, const wchar_t* name, uint32_t* type, uint8_t* data, uint32_t& size) override;
  LONG CloseKey(os::RegistryKey key) override;

 private:
  struct Value {
    uint32_t type = 0;
    std::vector<uint8_t> data;
  };
  // Upper-cased key path -> upper-cased value name -> value. Every existing key has an entry.
  std::map<std::wstring, std::map<std::wstring, Value>> keys_;
  std::map<os::RegistryKey, std::wstring> handles_;
  os::RegistryKey next_handle_ = 0x100;
};

// The registry facts of one camera interface's device key below SYSTEM\ControlSet001\Enum.
struct CameraDeviceKey {
  std::wstring instance_id;            // USB\VID_vvvv&PID_pppp&MI_00\instance
  std::wstring location_information;   // the platform's long form, ending in the 23-character location
  std::vector<std::wstring> hardware_ids;
  std::optional<uint32_t> sensor_camera_mode;  // "Device Parameters" value, when the camera has it
};
void AddCameraDeviceKey(RegistryView& registry, const CameraDeviceKey& camera);

inline constexpr wchar_t kEnumRoot[] = L"SYSTEM\\ControlSet001\\Enum\\";

}  // namespace fcp::sim::windows
