#include "driver/wide_text.h"

namespace fcp::driver {

bool MatchesIgnoringCase(const char16_t* text, const char* pattern) {
  // Iterative glob with one backtrack point: linear in practice, no recursion in kernel stacks.
  const char16_t* star_text = nullptr;
  const char* star_pattern = nullptr;
  while (*text) {
    if (*pattern == '*') {
      star_pattern = ++pattern;
      star_text = text;
    } else if (*pattern == '?' ||
               (*pattern && FoldCase(*text) == FoldCase(static_cast<char16_t>(static_cast<unsigned char>(*pattern))))) {
      ++text;
      ++pattern;
    } else if (star_pattern) {
      pattern = star_pattern;
      text = ++star_text;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == 0;
}

bool EqualsIgnoringCase(const char16_t* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (FoldCase(*a) != FoldCase(static_cast<char16_t>(static_cast<unsigned char>(*b)))) return false;
  }
  return *a == 0 && *b == 0;
}

}  // namespace fcp::driver
