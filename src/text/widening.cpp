#include "text/widening.h"

#include <cwchar>

namespace fcp::text {

std::wstring WidenBytes(std::string_view bytes) {
  std::wstring wide;
  wide.reserve(bytes.size());
  for (const char c : bytes) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return wide;
}

std::wstring WidenLocaleText(const char* text) {
  std::mbstate_t state{};
  const char* source = text;
  const size_t length = std::mbsrtowcs(nullptr, &source, 0, &state);
  if (length == static_cast<size_t>(-1)) return WidenBytes(text);  // os/native_path.h turns such bytes back
  std::wstring wide(length, L'\0');
  source = text;
  state = {};
  std::mbsrtowcs(wide.data(), &source, length, &state);
  return wide;
}

std::string PrintableAscii(std::wstring_view text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (const wchar_t c : text) narrow.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : (c == L'\n' ? '\n' : '?'));
  return narrow;
}

}  // namespace fcp::text
