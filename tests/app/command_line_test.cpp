#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/command_line.h"
#include "text/widening.h"

namespace {

using fcp::app::CommandLineOptions;
using fcp::app::ParseCommandLineOptions;

struct Case {
  const wchar_t* command_line;
  BOOL silent;
  BOOL lvi;
  uint16_t vid;
  uint16_t pid;
};

// clang-format off
const Case kCases[] = {
    {L"",                               0, 0, 0,      0},
    {L" \t\n ",                         0, 0, 0,      0},
    {L"-s",                             1, 0, 0,      0},
    {L"/s",                             1, 0, 0,      0},
    {L"-S",                             1, 0, 0,      0},
    {L"/LVIOUTPUT",                     0, 1, 0,      0},
    {L"-lvioutput -s",                  1, 1, 0,      0},
    {L"\t-s\n/LVIOutput  ",             1, 1, 0,      0},
    // Hex values: prefix or not, either case, same value.
    {L"-vid 1bcf -pid 2B8A",            0, 0, 0x1BCF, 0x2B8A},
    {L"/VID 0x1BCF /PID 0X2b8a",        0, 0, 0x1BCF, 0x2B8A},
    {L"-vid 12345",                     0, 0, 0x2345, 0},
    {L"-vid -1",                        0, 0, 0xFFFF, 0},
    {L"-vid +10",                       0, 0, 0x0010, 0},
    {L"-vid 12g4",                      0, 0, 0x0012, 0},
    {L"-vid xyz",                       0, 0, 0,      0},
    {L"-vid 0x",                        0, 0, 0,      0},
    {L"-vid 0xg",                       0, 0, 0,      0},
    // Beyond 32 bits: clamped to the nearest limit, then the low 16 bits.
    {L"-vid 123456789",                 0, 0, 0xFFFF, 0},
    {L"-vid 7fffffff",                  0, 0, 0xFFFF, 0},
    {L"-vid -80000000",                 0, 0, 0x0000, 0},
    {L"-vid -80000001",                 0, 0, 0x0000, 0},
    {L"-vid -7fffffff",                 0, 0, 0x0001, 0},
    // The value token is consumed whatever it looks like; a missing one is 0.
    {L"-vid",                           0, 0, 0,      0},
    {L"-s -pid",                        1, 0, 0,      0},
    {L"-vid -s",                        0, 0, 0,      0},
    {L"-vid -pid 5",                    0, 0, 0,      0},
    {L"-pid 5 -vid",                    0, 0, 0,      5},
    // Later values replace earlier ones; flags stay set.
    {L"-vid 1 -s -vid 2 -s",            1, 0, 2,      0},
    // Look-alikes are ignored.
    {L"--s s -silent /s/ -s- -vidd 5", 0, 0, 0,      0},
    {L"\"-s\" -LVIOutputX LVIOutput",   0, 0, 0,      0},
    {L"\"-vid 5\"",                     0, 0, 0,      0},
    {L"-vid \"5\"",                     0, 0, 0,      0},
    // Other white space is part of a token, but the value conversion skips it at the front.
    {L"-vid \r5",                       0, 0, 5,      0},
    {L"-s\r",                           0, 0, 0,      0},
};
// clang-format on

TEST(CommandLine, Grammar) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << "command line: [" << std::wstring(c.command_line).c_str() << "]");
    const CommandLineOptions options = ParseCommandLineOptions(c.command_line);
    EXPECT_EQ(options.silent, c.silent);
    EXPECT_EQ(options.lvi_output, c.lvi);
    EXPECT_EQ(options.vid, c.vid);
    EXPECT_EQ(options.pid, c.pid);
  }
}

}  // namespace

namespace {

// What the Linux face warns about: one line per ignored word and per value that is not read as
// written; the selection above stays as it is.
TEST(CommandLine, Warnings) {
  struct WarningCase {
    const wchar_t* command_line;
    std::vector<std::string> warnings;
  };
  const WarningCase cases[] = {
      {L"", {}},
      {L"-s /LVIOUTPUT -vid 0x1BCF -pid 2b8a", {}},
      {L"-vid -1 -pid +12345", {}},  // whole numbers, however they are cut to 16 bits
      {L"-vid \r5", {}},             // the conversion skips white space at the front
      {L"-vid zz", {"the value 'zz' of '-vid' is not a hexadecimal number; it is read as 0000"}},
      {L"/PID 12g4", {"the value '12g4' of '/PID' is not a hexadecimal number; it is read as 0012"}},
      {L"-vid 0x", {"the value '0x' of '-vid' is not a hexadecimal number; it is read as 0000"}},
      {L"-vid -s", {"the value '-s' of '-vid' is not a hexadecimal number; it is read as 0000"}},
      {L"-s -pid", {"'-pid' has no value; it is read as 0000"}},
      {L"--s foo \"-s\"",
       {"ignoring the unknown argument '--s'", "ignoring the unknown argument 'foo'",
        "ignoring the unknown argument '\"-s\"'"}},
      {L"-s --help", {"ignoring '--help': it is understood only as the only argument"}},
      {L"-vid caf\u00e9", {"the value 'caf?' of '-vid' is not a hexadecimal number; it is read as 0caf"}},
  };
  for (const WarningCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "command line: [" << fcp::text::PrintableAscii(c.command_line) << "]");
    EXPECT_EQ(ParseCommandLineOptions(c.command_line).warnings, c.warnings);
  }
}

TEST(CommandLine, HelpAndVersionOnlyAlone) {
  using fcp::app::StandaloneRequest;
  using fcp::app::StandaloneRequestOf;
  const std::pair<const wchar_t*, StandaloneRequest> cases[] = {
      {L"--help", StandaloneRequest::kHelp},       {L" -h\t", StandaloneRequest::kHelp},
      {L"--version", StandaloneRequest::kVersion}, {L"", StandaloneRequest::kNone},
      {L"--help -s", StandaloneRequest::kNone},    {L"-s --version", StandaloneRequest::kNone},
      {L"-H", StandaloneRequest::kNone},           {L"/h", StandaloneRequest::kNone},
      {L"--HELP", StandaloneRequest::kNone},       {L"--versions", StandaloneRequest::kNone},
  };
  for (const auto& [command_line, request] : cases) {
    SCOPED_TRACE(fcp::text::PrintableAscii(command_line));
    EXPECT_EQ(StandaloneRequestOf(command_line), request);
  }
}

}  // namespace
