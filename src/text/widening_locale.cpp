// Text from the system in the locale's encoding (command-line words, file names). Apart from the
// other widening rules so that a program that uses only those (the GTK dialog module) does not take
// in the C library's multibyte conversion.
#include "text/widening.h"

#include <cwchar>

namespace fcp::text {

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

}  // namespace fcp::text
