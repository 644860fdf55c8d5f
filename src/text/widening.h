// Between narrow and wide text. Four rules, each for its own kind of text:
//  - bytes that are ASCII by nature (sysfs names, libusb's location and name texts): one character
//    per byte, the byte's value as the character;
//  - UTF-8 (scenario texts, the names a Linux kernel gives a device): decoded strictly, below;
//  - text from the system in the locale's encoding (command-line words, file names): decoded by the
//    locale, and, where the locale cannot read it, one character per byte so that nothing is lost;
//  - text shown on a byte stream (standard error, a probe's report): printable ASCII and line feeds
//    as they are, every other character '?'.
// Wide text is UTF-16 where wchar_t has 16 bits (Windows) and one character per code point where it
// has 32 (Linux); the UTF-16 functions below move between the two.
#pragma once
#include <string>
#include <string_view>

namespace fcp::text {

std::wstring WidenBytes(std::string_view bytes);

// UTF-8 as UTF-16 code units, characters above U+FFFF as surrogate pairs. What is not well-formed
// UTF-8 (a byte that begins no sequence, a sequence cut short, an overlong form, an encoded
// surrogate, a code point above U+10FFFF) becomes U+FFFD, one for each maximal subpart of an
// ill-formed sequence: the bytes a well-formed sequence could begin with, or else one byte. A cut
// sequence never swallows the character after it.
std::u16string Utf16FromUtf8(std::string_view utf8);

// UTF-8 as wide text, by the same rules.
std::wstring WidenUtf8(std::string_view utf8);

// UTF-16 code units as wide text: a surrogate pair becomes one character where wchar_t holds it; an
// unpaired surrogate stays as it is, as the platform keeps it.
std::wstring WidenUtf16(std::u16string_view units);

// Wide text as UTF-16 code units: a character above U+FFFF becomes a surrogate pair, a value above
// U+10FFFF U+FFFD.
std::u16string Utf16OfWide(std::wstring_view text);

// Wide text as UTF-8 (what a toolkit on Linux shows): a surrogate pair becomes its character; an
// unpaired surrogate and a value above U+10FFFF become U+FFFD, so the result is always well-formed.
std::string Utf8OfWide(std::wstring_view text);

// `text` ends at its first NUL, as the C library reads it.
std::wstring WidenLocaleText(const char* text);

std::string PrintableAscii(std::wstring_view text);

}  // namespace fcp::text
