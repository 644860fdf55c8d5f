// Between narrow and wide text. Three rules, each for its own kind of text:
//  - bytes that are ASCII by nature (sysfs names, scenario texts, libusb's location and name texts):
//    one character per byte, the byte's value as the character;
//  - text from the system in the locale's encoding (command-line words, file names): decoded by the
//    locale, and, where the locale cannot read it, one character per byte so that nothing is lost;
//  - text shown on a byte stream (standard error, a probe's report): printable ASCII and line feeds
//    as they are, every other character '?'.
#pragma once
#include <string>
#include <string_view>

namespace fcp::text {

std::wstring WidenBytes(std::string_view bytes);

// `text` ends at its first NUL, as the C library reads it.
std::wstring WidenLocaleText(const char* text);

std::string PrintableAscii(std::wstring_view text);

}  // namespace fcp::text
