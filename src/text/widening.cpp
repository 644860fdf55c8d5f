#include "text/widening.h"

#include <cstdint>

namespace fcp::text {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendCodePoint(std::u16string& units, uint32_t code_point) {
  if (code_point < 0x10000) {
    units.push_back(static_cast<char16_t>(code_point));
    return;
  }
  const uint32_t v = code_point - 0x10000;
  units.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
  units.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
}

// What a lead byte begins: how many continuation bytes follow, and the range the first of them must
// lie in. The narrowed ranges are what excludes overlong forms (E0, F0), surrogates (ED) and code
// points above U+10FFFF (F4); C0, C1 and F5..FF begin nothing.
struct Lead {
  int continuations;
  uint8_t low, high;
};
constexpr Lead LeadOf(uint8_t c) {
  if (c >= 0xC2 && c <= 0xDF) return {1, 0x80, 0xBF};
  if (c == 0xE0) return {2, 0xA0, 0xBF};
  if (c == 0xED) return {2, 0x80, 0x9F};
  if (c >= 0xE1 && c <= 0xEF) return {2, 0x80, 0xBF};
  if (c == 0xF0) return {3, 0x90, 0xBF};
  if (c >= 0xF1 && c <= 0xF3) return {3, 0x80, 0xBF};
  if (c == 0xF4) return {3, 0x80, 0x8F};
  return {0, 0, 0};
}

}  // namespace

std::wstring WidenBytes(std::string_view bytes) {
  std::wstring wide;
  wide.reserve(bytes.size());
  for (const char c : bytes) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return wide;
}

std::u16string Utf16FromUtf8(std::string_view utf8) {
  std::u16string units;
  units.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    const auto c = static_cast<uint8_t>(utf8[i]);
    if (c < 0x80) {
      units.push_back(c);
      ++i;
      continue;
    }
    const Lead lead = LeadOf(c);
    uint32_t code_point = c & (0x3F >> lead.continuations);
    int taken = 0;  // continuation bytes that fit so far
    while (taken < lead.continuations && i + 1 + taken < utf8.size()) {
      const auto next = static_cast<uint8_t>(utf8[i + 1 + taken]);
      const uint8_t low = taken == 0 ? lead.low : 0x80;
      const uint8_t high = taken == 0 ? lead.high : 0xBF;
      if (next < low || next > high) break;
      code_point = code_point << 6 | (next & 0x3F);
      ++taken;
    }
    if (lead.continuations == 0 || taken < lead.continuations) {
      units.push_back(kReplacement);  // the maximal subpart: the lead and the continuations that fit
    } else {
      AppendCodePoint(units, code_point);
    }
    i += 1 + static_cast<size_t>(taken);
  }
  return units;
}

std::wstring WidenUtf8(std::string_view utf8) { return WidenUtf16(Utf16FromUtf8(utf8)); }

std::wstring WidenUtf16(std::u16string_view units) {
  std::wstring wide;
  wide.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    const char16_t unit = units[i];
    if constexpr (sizeof(wchar_t) == 4) {
      if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
        wide.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00)));
        ++i;
        continue;
      }
    }
    wide.push_back(static_cast<wchar_t>(unit));
  }
  return wide;
}

std::u16string Utf16OfWide(std::wstring_view text) {
  std::u16string units;
  units.reserve(text.size());
  for (const wchar_t c : text) {
    const auto code_point = static_cast<uint32_t>(c);
    AppendCodePoint(units, code_point <= 0x10FFFF ? code_point : kReplacement);
  }
  return units;
}

std::string Utf8OfWide(std::wstring_view text) {
  const std::u16string units = Utf16OfWide(text);
  std::string utf8;
  utf8.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t c = units[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (c >= 0xD800 && c < 0xE000) {
      c = kReplacement;
    }
    if (c < 0x80) {
      utf8.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      utf8.push_back(static_cast<char>(0xC0 | c >> 6));
      utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      utf8.push_back(static_cast<char>(0xE0 | c >> 12));
      utf8.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      utf8.push_back(static_cast<char>(0xF0 | c >> 18));
      utf8.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return utf8;
}

std::string PrintableAscii(std::wstring_view text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (const wchar_t c : text) narrow.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : (c == L'\n' ? '\n' : '?'));
  return narrow;
}

}  // namespace fcp::text
