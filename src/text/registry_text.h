// The bytes of the registry's string values: UTF-16LE with a terminating NUL (a string), or strings
// one after the other with one more NUL at the end (a multi-string). Written by the stand-ins of the
// registry (the Linux adapter, the virtual workstation), read by the camera layers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fcp::text {

// Characters outside the basic plane become surrogate pairs.
std::vector<uint8_t> RegistryStringBytes(std::wstring_view text);
std::vector<uint8_t> RegistryMultiStringBytes(const std::vector<std::wstring>& texts);

// The text a string value holds: its bytes up to the first NUL (so the first string of a
// multi-string), never beyond `size` bytes. Surrogate pairs join into one character where wide
// characters are UTF-32.
std::wstring TextFromRegistryBytes(const uint8_t* data, size_t size);

}  // namespace fcp::text
