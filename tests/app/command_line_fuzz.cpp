// ParseCommandLineOptions on arbitrary text, and the value conversion against the C library's.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "app/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring text;
  for (size_t i = 0; i < size; ++i) text.push_back(static_cast<wchar_t>(data[i] ? data[i] : 0x100 + i % 7));
  const fcp::app::CommandLineOptions options = fcp::app::ParseCommandLineOptions(text);
  if (options.silent > 1 || options.lvi_output > 1) __builtin_trap();

  // A token is free of the separators and of NUL; map the input into one.
  std::wstring token;
  for (size_t i = 0; i < size && i < 64; ++i) {
    const wchar_t c = static_cast<wchar_t>(data[i] & 0x7F);
    if (c != 0 && c != L' ' && c != L'\t' && c != L'\n') token.push_back(c);
  }
  errno = 0;
  long long expected = std::wcstoll(token.c_str(), nullptr, 16);
  if (expected > INT32_MAX) expected = INT32_MAX;
  if (expected < INT32_MIN) expected = INT32_MIN;
  const uint16_t want = static_cast<uint16_t>(static_cast<uint32_t>(static_cast<int32_t>(expected)) & 0xFFFF);
  if (fcp::app::HexTokenValue(token) != want) __builtin_trap();
  return 0;
}
