// String descriptors read as ASCII, over a scripted transport.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "dfu/diagnostic.h"
#include "dfu/string_descriptor.h"

namespace fcp::dfu {
namespace {

// One scripted answer: the bytes the device sends and the result the transport reports.
struct Answer {
  std::vector<uint8_t> bytes;
  int result;
};

Answer Received(std::vector<uint8_t> bytes) {
  const int count = static_cast<int>(bytes.size());
  return {std::move(bytes), count};
}
Answer Failed(int error) { return {{}, error}; }

const Answer kEnglish = Received({0x04, 0x03, 0x09, 0x04});

std::vector<uint8_t> StringDescriptor(const std::u16string& text) {
  std::vector<uint8_t> bytes{static_cast<uint8_t>(2 + 2 * text.size()), 0x03};
  for (char16_t unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return bytes;
}

struct Request {
  uint16_t value;
  uint16_t index;
};

struct Outcome {
  int result;
  std::string text;
  std::string diagnostic;
  std::vector<Request> requests;
};

Outcome Read(uint8_t index, std::vector<Answer> answers) {
  Outcome outcome;
  size_t next = 0;
  auto transport = [&](uint16_t value, uint16_t language_id, uint8_t* data) {
    outcome.requests.push_back({value, language_id});
    if (next >= answers.size()) return -9;
    const Answer& answer = answers[next++];
    std::copy_n(answer.bytes.begin(), std::min<size_t>(answer.bytes.size(), kStringRequestLength), data);
    return answer.result;
  };
  ClearDiagnostic();
  std::vector<char> text(kStringTextSize, '#');
  outcome.result = ReadStringAscii(transport, index, text.data());
  if (outcome.result >= 0) {
    outcome.text.assign(text.data(), static_cast<size_t>(outcome.result));
    EXPECT_EQ(text[static_cast<size_t>(outcome.result)], '\0');
  }
  outcome.diagnostic = Diagnostic();
  return outcome;
}

TEST(StringDescriptor, AsksForTheLanguageListThenTheStringInTheFirstLanguage) {
  Outcome o = Read(5, {Received({0x06, 0x03, 0x07, 0x04, 0x09, 0x04}), Received(StringDescriptor(u"DFU 1"))});
  EXPECT_EQ(o.result, 5);
  EXPECT_EQ(o.text, "DFU 1");
  ASSERT_EQ(o.requests.size(), 2u);
  EXPECT_EQ(o.requests[0].value, 0x0300);
  EXPECT_EQ(o.requests[0].index, 0);
  EXPECT_EQ(o.requests[1].value, 0x0305);
  EXPECT_EQ(o.requests[1].index, 0x0407);
  EXPECT_EQ(o.diagnostic, "");
}

struct FailureCase {
  const char* what;
  std::vector<Answer> answers;
  int result;
  const char* diagnostic;
};

// Test names and failure messages show the case by its description.
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.what; }

class StringDescriptorFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(StringDescriptorFailure, FailsWithItsDiagnostic) {
  const FailureCase& c = GetParam();
  Outcome o = Read(2, c.answers);
  EXPECT_EQ(o.result, c.result) << c.what;
  EXPECT_EQ(o.diagnostic, c.diagnostic) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StringDescriptorFailure,
    testing::Values(
        FailureCase{"language list stalls", {Failed(-9)}, -9, "Failed to retrieve language identifiers"},
        FailureCase{"language list of three bytes", {Received({0x04, 0x03, 0x09})}, -1, "Broken LANGID string descriptor"},
        FailureCase{"language list with bLength 2", {Received({0x02, 0x03, 0x09, 0x04})}, -1,
                    "Broken LANGID string descriptor"},
        FailureCase{"language list of the wrong type", {Received({0x04, 0x02, 0x09, 0x04})}, -1,
                    "Broken LANGID string descriptor"},
        FailureCase{"string times out", {kEnglish, Failed(-7)}, -7, "Failed to retrieve string descriptor 2"},
        FailureCase{"string of the wrong type", {kEnglish, Received({0x04, 0x02, 'A', 0})}, -1,
                    "Malformed string descriptor 2, type = 0x02"},
        FailureCase{"string of no bytes at all", {kEnglish, Received({})}, -1,
                    "Malformed string descriptor 2, type = 0x00"},
        FailureCase{"string of one byte", {kEnglish, Answer{{0x04, 0x03}, 1}}, -1,
                    "Malformed string descriptor 2, type = 0x00"}),
    [](const testing::TestParamInfo<FailureCase>& info) {
      std::string name = info.param.what;
      for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

TEST(StringDescriptor, ShortStringIsReadWithTheReceivedLength) {
  std::vector<uint8_t> bytes = StringDescriptor(u"ABCDEFGH");
  bytes[0] = 40;  // claims more than it carries
  Outcome o = Read(3, {kEnglish, Received(bytes)});
  EXPECT_EQ(o.text, "ABCDEFGH");
  EXPECT_EQ(o.diagnostic, "Patching string descriptor 3 length (was 40, received 18)");
}

TEST(StringDescriptor, CountBeyondTheRequestIsHeldToTheBuffer) {
  Answer oversized = Received(StringDescriptor(std::u16string(126, u'x')));  // 254 bytes
  oversized.result = 4000;  // a transport that claims far more than it could hold
  Outcome o = Read(3, {kEnglish, oversized});
  EXPECT_EQ(o.result, 126);
  EXPECT_EQ(o.text, std::string(126, 'x'));
}

TEST(StringDescriptor, OddLengthDropsTheHalfCharacter) {
  std::vector<uint8_t> bytes = StringDescriptor(u"AB");
  bytes[0] = 5;
  Outcome o = Read(1, {kEnglish, Received(bytes)});
  EXPECT_EQ(o.text, "A");
}

TEST(StringDescriptor, CharactersOutsideAsciiReadAsQuestionMarks) {
  Outcome o = Read(4, {kEnglish, Received(StringDescriptor(u"Kam\u00E9ra \u20AC\u4E2D!"))});
  // A unit with a zero high byte passes through as its low byte; any other becomes '?'.
  EXPECT_EQ(o.text, "Kam\xE9ra ?" "?!");
}

TEST(StringDescriptor, EmptyStringGivesNoCharacters) {
  Outcome o = Read(4, {kEnglish, Received({0x02, 0x03})});
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.text, "");
}

}  // namespace
}  // namespace fcp::dfu
