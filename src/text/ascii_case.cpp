#include "text/ascii_case.h"

#include <algorithm>

namespace fcp::text {
namespace {

bool SameIgnoringCase(wchar_t a, wchar_t b) { return UpperAscii(a) == UpperAscii(b); }

}  // namespace

wchar_t UpperAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

wchar_t LowerAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

std::wstring UpperAscii(std::wstring text) {
  for (wchar_t& c : text) c = UpperAscii(c);
  return text;
}

std::wstring LowerAscii(std::wstring text) {
  for (wchar_t& c : text) c = LowerAscii(c);
  return text;
}

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), SameIgnoringCase);
}

bool StartsWithIgnoringCase(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

size_t FindIgnoringCase(std::wstring_view text, std::wstring_view part) {
  const auto at = std::search(text.begin(), text.end(), part.begin(), part.end(), SameIgnoringCase);
  return at == text.end() && !part.empty() ? std::wstring_view::npos : static_cast<size_t>(at - text.begin());
}

bool ContainsIgnoringCase(std::wstring_view text, std::wstring_view part) {
  return FindIgnoringCase(text, part) != std::wstring_view::npos;
}

}  // namespace fcp::text
