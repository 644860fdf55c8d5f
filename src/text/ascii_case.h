// Case rules for identifiers, device paths, key names and command-line words: only the ASCII letters
// have a case here, whatever the process's locale, so a comparison gives the same answer in the tool,
// the tests and the virtual workstation.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace fcp::text {

wchar_t UpperAscii(wchar_t c);
wchar_t LowerAscii(wchar_t c);
std::wstring UpperAscii(std::wstring text);
std::wstring LowerAscii(std::wstring text);

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b);
bool StartsWithIgnoringCase(std::wstring_view text, std::wstring_view prefix);
// Position of the first occurrence of `part` in `text`, or npos.
size_t FindIgnoringCase(std::wstring_view text, std::wstring_view part);
bool ContainsIgnoringCase(std::wstring_view text, std::wstring_view part);

}  // namespace fcp::text
