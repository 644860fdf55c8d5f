#include "app/command_line.h"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

#include "text/ascii_case.h"
#include "text/widening.h"

namespace fcp::app {
namespace {

constexpr std::wstring_view kSeparators = L" \t\n";

std::vector<std::wstring_view> Tokens(std::wstring_view text) {
  std::vector<std::wstring_view> tokens;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t start = text.find_first_not_of(kSeparators, pos);
    if (start == std::wstring_view::npos) break;
    size_t end = text.find_first_of(kSeparators, start);
    if (end == std::wstring_view::npos) end = text.size();
    tokens.push_back(text.substr(start, end - start));
    pos = end;
  }
  return tokens;
}

// "-name" or "/name".
bool IsOption(std::wstring_view token, std::wstring_view name) {
  return token.size() == name.size() + 1 && (token[0] == L'-' || token[0] == L'/') &&
         text::EqualsIgnoringCase(token.substr(1), name);
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool IsCSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

}  // namespace

namespace {

struct HexScan {
  uint16_t value = 0;
  size_t digits = 0;
  bool whole = false;  // the scan ended at the token's end
};

HexScan ScanHex(std::wstring_view token) {
  HexScan scan;
  size_t i = 0;
  while (i < token.size() && IsCSpace(token[i])) ++i;
  bool negative = false;
  if (i < token.size() && (token[i] == L'+' || token[i] == L'-')) negative = token[i++] == L'-';
  // "0x" counts as a prefix only when a digit follows it; otherwise the "0" is the number.
  if (i + 2 < token.size() && token[i] == L'0' && (token[i + 1] == L'x' || token[i + 1] == L'X') &&
      HexDigit(token[i + 2]) >= 0)
    i += 2;
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int64_t kMinMagnitude = -static_cast<int64_t>(std::numeric_limits<int32_t>::min());
  const int64_t limit = negative ? kMinMagnitude : kMax;
  int64_t magnitude = 0;
  for (; i < token.size(); ++i) {
    const int digit = HexDigit(token[i]);
    if (digit < 0) break;
    ++scan.digits;
    magnitude = magnitude * 16 + digit;
    if (magnitude > limit) magnitude = limit;  // clamped; further digits keep it there
  }
  scan.whole = i == token.size();
  const int64_t value = negative ? -magnitude : magnitude;
  scan.value = static_cast<uint16_t>(static_cast<uint32_t>(static_cast<int32_t>(value)) & 0xFFFF);
  return scan;
}

std::string Quoted(std::wstring_view token) {
  std::string quoted(1, '\'');
  quoted += text::PrintableAscii(token);
  quoted += '\'';
  return quoted;
}

bool IsStandaloneWord(std::wstring_view token) {
  return token == L"--help" || token == L"-h" || token == L"--version";
}

}  // namespace

uint16_t HexTokenValue(std::wstring_view token) { return ScanHex(token).value; }

bool IsWholeHexToken(std::wstring_view token) {
  const HexScan scan = ScanHex(token);
  return scan.whole && scan.digits > 0;
}

StandaloneRequest StandaloneRequestOf(std::wstring_view command_line) {
  const std::vector<std::wstring_view> tokens = Tokens(command_line);
  if (tokens.size() != 1) return StandaloneRequest::kNone;
  if (tokens[0] == L"--help" || tokens[0] == L"-h") return StandaloneRequest::kHelp;
  if (tokens[0] == L"--version") return StandaloneRequest::kVersion;
  return StandaloneRequest::kNone;
}

CommandLineOptions ParseCommandLineOptions(std::wstring_view command_line) {
  CommandLineOptions options;
  const std::vector<std::wstring_view> tokens = Tokens(command_line);
  for (size_t i = 0; i < tokens.size(); ++i) {
    const std::wstring_view token = tokens[i];
    if (IsOption(token, L"s")) {
      options.silent = 1;
    } else if (IsOption(token, L"LVIOutput")) {
      options.lvi_output = 1;
    } else if (IsOption(token, L"vid") || IsOption(token, L"pid")) {
      const std::string option = Quoted(token);
      uint16_t value = 0;
      if (i + 1 < tokens.size()) {
        const std::wstring_view value_token = tokens[++i];
        value = HexTokenValue(value_token);
        if (!IsWholeHexToken(value_token)) {
          char read_as[8];
          std::snprintf(read_as, sizeof read_as, "%04x", value);
          options.warnings.push_back("the value " + Quoted(value_token) + " of " + option +
                                     " is not a hexadecimal number; it is read as " + read_as);
        }
      } else {
        options.warnings.push_back(option + " has no value; it is read as 0000");
      }
      (text::LowerAscii(token[1]) == L'v' ? options.vid : options.pid) = value;
    } else if (IsStandaloneWord(token)) {
      options.warnings.push_back("ignoring " + Quoted(token) + ": it is understood only as the only argument");
    } else {
      options.warnings.push_back("ignoring the unknown argument " + Quoted(token));
    }
  }
  return options;
}

}  // namespace fcp::app
