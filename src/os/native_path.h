// A wide file name as the platform's file system takes it. Windows takes the wide text as it is; on
// Linux it becomes bytes by the C library's conversion under the process's locale, the same one that
// made the wide text from the bytes (os/linux), with each character below 256 as one byte when the
// locale cannot say it. Never throws.
#pragma once
#include <cwchar>
#include <filesystem>
#include <string>

namespace fcp::os {

inline std::filesystem::path NativePath(const std::wstring& text) {
#ifdef _WIN32
  return std::filesystem::path(text);
#else
  std::mbstate_t state{};
  const wchar_t* source = text.c_str();
  const size_t length = std::wcsrtombs(nullptr, &source, 0, &state);
  std::string bytes;
  if (length != static_cast<size_t>(-1)) {
    bytes.resize(length);
    source = text.c_str();
    state = {};
    std::wcsrtombs(bytes.data(), &source, length, &state);
  } else {
    for (wchar_t c : text) bytes.push_back(static_cast<unsigned>(c) < 0x100 ? static_cast<char>(c) : '?');
  }
  return std::filesystem::path(bytes);
#endif
}

}  // namespace fcp::os
