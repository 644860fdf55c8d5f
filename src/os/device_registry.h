// Port: reading values of the platform's registry (device keys below the machine's Enum tree).
//
// Shaped after RegOpenKeyExW / RegQueryValueExW / RegCloseKey, with the Win32 error codes returned
// unchanged. Value data are the platform's bytes: strings are UTF-16LE with a terminating NUL,
// multi-strings a sequence of those ending in an empty string, DWORDs four little-endian bytes.
#pragma once
#include <cstdint>

#include "os/win_types.h"

namespace fcp::os {

enum class RegistryRoot { kLocalMachine };

// KEY_READ access mask.
inline constexpr uint32_t kRegistryKeyRead = 0x20019;

// REG_* value types.
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;

// An open key; 0 is no key.
using RegistryKey = uintptr_t;

class DeviceRegistry {
 public:
  virtual ~DeviceRegistry() = default;
  // RegOpenKeyExW(root, sub_key, options, access, &key).
  virtual LONG OpenKey(RegistryRoot root, const wchar_t* sub_key, uint32_t options, uint32_t access,
                       RegistryKey& key) = 0;
  // RegQueryValueExW(key, name, reserved null, &type, data, &size): on entry `size` is the buffer's
  // size in bytes, on return the value's size. A value larger than the buffer gives ERROR_MORE_DATA.
  // `type` and `data` may be null.
  virtual LONG QueryValue(RegistryKey key, const wchar_t* name, uint32_t* type, uint8_t* data,
                          uint32_t& size) = 0;
  virtual LONG CloseKey(RegistryKey key) = 0;
};

}  // namespace fcp::os
