// Small text helpers over the kernel's UTF-16 strings, ASCII case folding only (device names,
// hardware IDs and GUID texts are ASCII).
#pragma once
#include <cstddef>
#include <cstdint>

namespace fcp::driver {

constexpr char16_t FoldCase(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; }

// Wildcard match ('*' any run, '?' one character) of zero-terminated `text` against a narrow
// `pattern`, ignoring case.
bool MatchesIgnoringCase(const char16_t* text, const char* pattern);

// Zero-terminated `a` equals narrow `b`, ignoring case.
bool EqualsIgnoringCase(const char16_t* a, const char* b);

}  // namespace fcp::driver
