// RegOpenKeyExW / RegQueryValueExW / RegCloseKey behind the registry port.
#include "os/win32/device_registry_win32.h"

#include <windows.h>

namespace fcp::os::win32 {
namespace {

HKEY RootKey(RegistryRoot root) {
  switch (root) {
    case RegistryRoot::kLocalMachine:
      return HKEY_LOCAL_MACHINE;
  }
  return nullptr;
}

class Win32Registry : public DeviceRegistry {
 public:
  LONG OpenKey(RegistryRoot root, const wchar_t* sub_key, uint32_t options, uint32_t access,
               RegistryKey& key) override {
    HKEY opened = nullptr;
    const LONG result = RegOpenKeyExW(RootKey(root), sub_key, options, access, &opened);
    key = result == ERROR_SUCCESS ? reinterpret_cast<RegistryKey>(opened) : 0;
    return result;
  }
  LONG QueryValue(RegistryKey key, const wchar_t* name, uint32_t* type, uint8_t* data, uint32_t& size) override {
    DWORD value_type = 0;
    DWORD value_size = size;
    const LONG result = RegQueryValueExW(reinterpret_cast<HKEY>(key), name, nullptr, &value_type, data, &value_size);
    if (type != nullptr) *type = value_type;
    size = value_size;
    return result;
  }
  LONG CloseKey(RegistryKey key) override { return RegCloseKey(reinterpret_cast<HKEY>(key)); }
};

}  // namespace

DeviceRegistry& Win32DeviceRegistry() {
  static Win32Registry instance;
  return instance;
}

}  // namespace fcp::os::win32
