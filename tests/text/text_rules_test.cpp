#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <string>
#include <vector>

#include "text/ascii_case.h"
#include "text/registry_text.h"
#include "text/widening.h"

namespace fcp::text {
namespace {

// The tool runs under the user's locale (setlocale(LC_ALL, "")); the tests run these rules under a
// UTF-8 one, where the C library knows the case of every letter and decodes multibyte text.
class InUtf8Locale : public testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::setlocale(LC_CTYPE, nullptr);
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  }
  void TearDown() override { std::setlocale(LC_CTYPE, previous_.c_str()); }

 private:
  std::string previous_;
};
using AsciiCase = InUtf8Locale;
using Widening = InUtf8Locale;

TEST_F(AsciiCase, OnlyAsciiLettersHaveACase) {
  EXPECT_TRUE(EqualsIgnoringCase(L"Port_#1.abc", L"PORT_#1.ABC"));
  EXPECT_FALSE(EqualsIgnoringCase(L"001.003", L"001.003.000"));
  EXPECT_FALSE(EqualsIgnoringCase(L"001.003.000", L"001.003"));
  EXPECT_FALSE(EqualsIgnoringCase(L"[", L"{"));  // neighbours of the letters stay apart
  // Whatever the locale: a letter outside ASCII is not folded, in comparisons or conversions.
  EXPECT_FALSE(EqualsIgnoringCase(L"\u00e9", L"\u00c9"));
  EXPECT_EQ(UpperAscii(L"usb\\vid_fc01&mi_00\u00e9"), L"USB\\VID_FC01&MI_00\u00e9");
  EXPECT_EQ(LowerAscii(L"USB\\VID_FC01@[Z]"), L"usb\\vid_fc01@[z]");
}

TEST_F(AsciiCase, SearchAndPrefix) {
  EXPECT_EQ(FindIgnoringCase(L"USB\\VID_1&mi_02\\6&1", L"MI_"), 10u);
  EXPECT_EQ(FindIgnoringCase(L"USB\\ROOT_HUB", L"root_hub30"), std::wstring_view::npos);
  EXPECT_EQ(FindIgnoringCase(L"ab", L""), 0u);
  EXPECT_TRUE(ContainsIgnoringCase(L"USB\\Root_Hub30\\4&1", L"ROOT_HUB30"));
  EXPECT_FALSE(ContainsIgnoringCase(L"MI", L"MI_"));
  EXPECT_TRUE(StartsWithIgnoringCase(L"system\\controlset001\\enum\\USB", L"SYSTEM\\ControlSet001\\Enum\\"));
  EXPECT_FALSE(StartsWithIgnoringCase(L"SYSTEM\\Control", L"SYSTEM\\ControlSet001\\Enum\\"));
}

TEST_F(Widening, EachRuleKeepsItsCharacters) {
  // A byte above 0x7F is that character, never a sign-extended one.
  EXPECT_EQ(WidenBytes("1-3.2:1.0\xE9"), L"1-3.2:1.0\u00e9");
  EXPECT_EQ(WidenBytes(std::string_view("a\0b", 3)), std::wstring(L"a\0b", 3));
  // Text from the system decodes by the locale; bytes it cannot read stay one character each.
  EXPECT_EQ(WidenLocaleText("/opt/x\xC3\xA9/tool"), L"/opt/x\u00e9/tool");
  EXPECT_EQ(WidenLocaleText("/opt/x\xE9/tool"), L"/opt/x\u00e9/tool");
  EXPECT_EQ(WidenLocaleText("-vid 1BCF"), L"-vid 1BCF");
  EXPECT_EQ(PrintableAscii(L"No vaild device.\n\tx\u00e9\r"), "No vaild device.\n?x??");
}

// Scenario texts are UTF-8: each character to its UTF-16 units, whatever is ill-formed to one U+FFFD
// per maximal subpart (a lead byte and the continuations that fit it, else a single byte).
TEST(Utf8, DecodesStrictlyIntoUtf16) {
  constexpr char16_t kBad = 0xFFFD;
  const struct {
    const char* what;
    std::string_view utf8;
    std::u16string utf16;
  } cases[] = {
      {"ASCII, NUL included", std::string_view("Cam\0 1", 6), std::u16string(u"Cam\0 1", 6)},
      {"two bytes", "\xC3\xA9\xDF\xBF", u"\u00e9\u07ff"},
      {"three bytes, around the surrogates", "\xE2\x82\xAC\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF", u"\u20ac\ud7ff\ue000\uffff"},
      {"four bytes, as pairs", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", {0xD83D, 0xDE00, 0xDBFF, 0xDFFF}},
      {"stray continuations", "a\x80\xBF" "b", {u'a', kBad, kBad, u'b'}},
      {"cut short before the next character", "\xE2\x82" "A\xF0\x9F\x98\xC3\xA9", {kBad, u'A', kBad, u'\u00e9'}},
      {"cut short at the end", "x\xF4\x8F\xBF", {u'x', kBad}},
      {"overlong forms", "\xC0\xAF\xC1\xBF\xE0\x80\xAF\xF0\x8F\xBF\xBF", {kBad, kBad, kBad, kBad, kBad, kBad, kBad, kBad, kBad, kBad, kBad}},
      {"encoded surrogates", "\xED\xA0\xBD\xED\xB8\x80", {kBad, kBad, kBad, kBad, kBad, kBad}},
      {"above U+10FFFF", "\xF4\x90\x80\x80\xF5\x80\xFF", {kBad, kBad, kBad, kBad, kBad, kBad, kBad}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Utf16FromUtf8(c.utf8), c.utf16);
  }
  // As wide text: one character per code point where wchar_t holds it, UTF-16 elsewhere.
  EXPECT_EQ(WidenUtf8("Kamera Gr\xC3\xB6\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80"), L"Kamera Größe 日本 😀");
  EXPECT_EQ(WidenUtf8("\xE2\x82"), std::wstring(1, static_cast<wchar_t>(0xFFFD)));
}

// Back to UTF-8 for a toolkit: each character whole, and never an ill-formed byte sequence.
TEST(Utf8, WideTextBackToWellFormedUtf8) {
  const std::string name = "Kamera Gr\xC3\xB6\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80";
  EXPECT_EQ(Utf8OfWide(WidenUtf8(name)), name);
  const std::string replacement = "\xEF\xBF\xBD";
  // A high surrogate with nothing after it, a low one alone, and a value no code point has.
  std::wstring bad{L'a', static_cast<wchar_t>(0xD83D), L'b', static_cast<wchar_t>(0xDE00)};
  if constexpr (sizeof(wchar_t) == 4) bad.push_back(static_cast<wchar_t>(0x110000));
  EXPECT_EQ(Utf8OfWide(bad), "a" + replacement + "b" + replacement + (sizeof(wchar_t) == 4 ? replacement : ""));
}

TEST(RegistryText, StringsAndMultiStrings) {
  EXPECT_EQ(RegistryStringBytes(L"AB"), (std::vector<uint8_t>{'A', 0, 'B', 0, 0, 0}));
  EXPECT_EQ(RegistryMultiStringBytes({L"A", L"BC"}), (std::vector<uint8_t>{'A', 0, 0, 0, 'B', 0, 'C', 0, 0, 0, 0, 0}));
  EXPECT_EQ(RegistryMultiStringBytes({}), (std::vector<uint8_t>{0, 0}));

  const uint8_t multi[] = {'A', 0, 'B', 0, 0, 0, 'C', 0, 0, 0, 0, 0};
  EXPECT_EQ(TextFromRegistryBytes(multi, sizeof multi), L"AB");
  // No terminator within the size: the text ends with the data, and an odd last byte is dropped.
  const uint8_t unterminated[] = {'A', 0, 'B', 0, 'C'};
  EXPECT_EQ(TextFromRegistryBytes(unterminated, sizeof unterminated), L"AB");
  const uint8_t wide[] = {0x34, 0x12, 0, 0};
  EXPECT_EQ(TextFromRegistryBytes(wide, sizeof wide), std::wstring(1, static_cast<wchar_t>(0x1234)));
  EXPECT_EQ(TextFromRegistryBytes(nullptr, 0), L"");

  // Outside the basic plane: a surrogate pair in the bytes, one character again where wchar_t holds it.
  const std::wstring clef = sizeof(wchar_t) == 4 ? std::wstring(1, static_cast<wchar_t>(0x1D11E))
                                                 : std::wstring{static_cast<wchar_t>(0xD834), static_cast<wchar_t>(0xDD1E)};
  const auto bytes = RegistryStringBytes(clef);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x34, 0xD8, 0x1E, 0xDD, 0, 0}));
  EXPECT_EQ(TextFromRegistryBytes(bytes.data(), bytes.size()), clef);
  if constexpr (sizeof(wchar_t) == 4) {  // a value no code point has is stored as U+FFFD
    EXPECT_EQ(RegistryStringBytes(std::wstring(1, static_cast<wchar_t>(0x110000))), (std::vector<uint8_t>{0xFD, 0xFF, 0, 0}));
  }
}

}  // namespace
}  // namespace fcp::text
